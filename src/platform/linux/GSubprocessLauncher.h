#pragma once

#include "platform/Process.h"

namespace nuv {
class RunLoop;
}

namespace nuv::linux_backend {

// Child processes on GSubprocess. Output is collected asynchronously on the
// main context while the child runs (so any amount of output works), and
// waitUntilExit() serves the loop through RunLoop::runUntil.
class GSubprocessLauncher : public ProcessLauncher {
 public:
  explicit GSubprocessLauncher(RunLoop& loop) : loop_(loop) {}
  std::shared_ptr<Process> makeProcess(const std::string& path,
                                       const std::vector<std::string>& arguments) override;

 private:
  RunLoop& loop_;
};

}  // namespace nuv::linux_backend
