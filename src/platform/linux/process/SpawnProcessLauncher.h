#pragma once

#include "platform/Process.h"

namespace nuv {
class RunLoop;
}

namespace nuv::linux_backend {

// Child processes started with posix_spawn, which glibc runs as
// clone(CLONE_VM | CLONE_VFORK): the parent's page tables are not copied, so
// a start costs the same whatever the module's size. The child gets standard
// input, the environment and working directory, default signal dispositions,
// an empty signal mask, no other descriptors than its standard output and
// standard error pipes, and a process group of its own (group id = its pid)
// that every signal is sent to.
//
// Exit and output are watched by sources on the loop's context (a pidfd and
// the two non-blocking pipes), so waitUntilExit() serves the loop through
// RunLoop::runUntil and any amount of output works; of standard error only
// the last Process::kErrorTailBytes are kept. Loop thread only.
class SpawnProcessLauncher : public ProcessLauncher {
 public:
  explicit SpawnProcessLauncher(RunLoop& loop) : loop_(loop) {}
  std::shared_ptr<Process> makeProcess(const std::string& path,
                                       const std::vector<std::string>& arguments) override;

 private:
  RunLoop& loop_;
};

}  // namespace nuv::linux_backend
