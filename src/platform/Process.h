#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/Timer.h"

namespace nuv {

// One child process whose standard output is read by the parent. Standard
// input, standard error, environment and working directory are inherited.
//
// The child runs in a process group of its own, and every signal goes to the
// whole group: what the child started (a shell's children, a daemon that
// inherited its output) is stopped with it.
// Loop thread only.
class Process {
 public:
  virtual ~Process() = default;

  // Starts the child. False when it could not be started; `error` says why.
  virtual bool launch(std::string* error) = 0;
  // Serves the run loop until the child has exited and its output has ended.
  // Standard output is drained meanwhile, so a child that prints more than a
  // pipe holds never blocks. A process that inherited the output may keep it
  // open after the child has exited: the wait then ends `outputGrace` after
  // the exit, with what had arrived by then.
  virtual void waitUntilExit(Milliseconds outputGrace) = 0;
  // Everything read from the child's output, once the wait has ended. Empty before.
  virtual std::string readOutputToEnd() = 0;
  // True until the child itself has exited.
  virtual bool isRunning() const = 0;
  // True while some process of the child's group, the child included, may
  // still be alive.
  virtual bool isGroupRunning() const = 0;
  // SIGTERM to the group (and SIGCONT, so that a stopped member gets it).
  virtual void terminate() = 0;
  // SIGKILL to the group; the output is not waited for any more.
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
