#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Timer.h"

namespace nuv {

// What a child wrote to its standard error: the last bytes of it, and how
// many bytes came before them and were not kept.
struct ErrorOutput {
  std::string tail;
  std::uint64_t dropped = 0;
};

// One child process whose standard output and standard error are read by the
// parent. Standard input, environment and working directory are inherited.
//
// The child runs in a process group of its own, and every signal goes to the
// whole group: what the child started (a shell's children, a daemon that
// inherited its output) is stopped with it.
// Loop thread only.
class Process {
 public:
  // How much of the child's standard error is kept: its last bytes.
  static constexpr std::size_t kErrorTailBytes = 4096;

  virtual ~Process() = default;

  // Starts the child. False when it could not be started; `error` says why.
  virtual bool launch(std::string* error) = 0;
  // Serves the run loop until the child has exited and its output has ended.
  // Standard output and standard error are drained meanwhile, so a child
  // that writes more than a pipe holds never blocks, and a little at a time,
  // so the loop goes on serving everything else. A process that inherited
  // them may keep them open after the child has exited: the wait then ends
  // `outputGrace` after the exit, with what had arrived by then. Both pipes
  // are closed when the wait ends.
  virtual void waitUntilExit(Milliseconds outputGrace) = 0;
  // Everything read from the child's output, once the wait has ended. Empty before.
  virtual std::string readOutputToEnd() = 0;
  // The end of the child's standard error (at most kErrorTailBytes), once
  // the wait has ended. Empty before.
  virtual ErrorOutput readErrorToEnd() = 0;
  // True until the child itself has exited.
  virtual bool isRunning() const = 0;
  // True while some process of the child's group, the child included, may
  // still be alive.
  virtual bool isGroupRunning() const = 0;
  // SIGTERM to the group (and SIGCONT, so that a stopped member gets it).
  virtual void terminate() = 0;
  // SIGKILL to the group; its output and standard error are not waited for
  // any more.
  virtual void kill() = 0;
  // For the end of the module: SIGTERM to the group, up to `grace` for the
  // group to end, then SIGKILL to what is left. Returns with the child
  // reaped, at the latest shortly after `grace`. Blocks the calling thread
  // without serving the loop, so nothing else can start meanwhile.
  virtual void stopGroup(Milliseconds grace) = 0;
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
