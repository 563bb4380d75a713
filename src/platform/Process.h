#pragma once

#include <memory>
#include <string>
#include <vector>

namespace nuv {

// One child process whose standard output is read by the parent. Standard
// input, standard error, environment and working directory are inherited.
// Loop thread only.
class Process {
 public:
  virtual ~Process() = default;

  // Starts the child. False when it could not be started; `error` says why.
  virtual bool launch(std::string* error) = 0;
  // Serves the run loop until the child has exited. Standard output is drained
  // meanwhile, so a child that prints more than a pipe holds never blocks.
  virtual void waitUntilExit() = 0;
  // Everything the child printed, once it has exited. Empty before.
  virtual std::string readOutputToEnd() = 0;
  virtual bool isRunning() const = 0;
  // SIGTERM to a running child; nothing otherwise.
  virtual void terminate() = 0;
  // SIGKILL to a running child; nothing otherwise.
  virtual void kill() = 0;
  virtual int processIdentifier() const = 0;
};

class ProcessLauncher {
 public:
  virtual ~ProcessLauncher() = default;
  // Creates, but does not start, a child for `path` with `arguments`.
  virtual std::shared_ptr<Process> makeProcess(const std::string& path,
                                               const std::vector<std::string>& arguments) = 0;
};

}  // namespace nuv
