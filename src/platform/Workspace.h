#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nuv {

// An application running in this user's session.
class RunningApplication {
 public:
  virtual ~RunningApplication() = default;
  virtual int processIdentifier() const = 0;
  // Absent for a process that is not an application with an identifier.
  virtual std::optional<std::string> bundleIdentifier() const = 0;
  // Asks the application to quit normally. True when the request was sent.
  virtual bool terminate() = 0;
};

class Workspace {
 public:
  virtual ~Workspace() = default;
  // Running applications in the system's own stable order (oldest first),
  // the current process included.
  virtual std::vector<std::shared_ptr<RunningApplication>> runningApplications() = 0;
};

}  // namespace nuv
