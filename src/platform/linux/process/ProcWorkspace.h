#pragma once

#include "platform/Workspace.h"

namespace nuv::linux_backend {

// Running applications from /proc: this user's processes whose executable
// lies in a bundle with an Info.plist. Ordered by start time, then pid.
class ProcWorkspace : public Workspace {
 public:
  std::vector<std::shared_ptr<RunningApplication>> runningApplications() override;
};

// Field 22 of /proc/<pid>/stat (start time in clock ticks), read after the
// last ')' so that a command name with spaces or parentheses cannot shift it.
std::optional<unsigned long long> parseStartTime(const std::string& statLine);

}  // namespace nuv::linux_backend
