#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "platform/fake/FakeRunLoop.h"

namespace nuv::fake {

// What the next fake child does once launched.
struct ProcessScript {
  std::string output;
  Milliseconds runTime{0};        // virtual time until it exits by itself
  bool ignoresTerminate = false;  // only SIGKILL ends it (or what is left of its group)
  // A process it started (a daemon) stays in its group, holding the output
  // open, this long after the child exits by itself. Signals end it too.
  Milliseconds leftoverLifetime{0};
};

class FakeProcess : public Process {
 public:
  FakeProcess(FakeRunLoop& loop, std::string path, std::vector<std::string> args,
              ProcessScript script);

  bool launch(std::string* error) override;
  void waitUntilExit(Milliseconds outputGrace) override;
  std::string readOutputToEnd() override { return exited_ ? script_.output : std::string(); }
  ErrorOutput readErrorToEnd() override { return {}; }
  bool isRunning() const override { return launched_ && !exited_; }
  bool isGroupRunning() const override { return isRunning() || leftoverAlive_; }
  void terminate() override;
  void kill() override;
  // Virtual time does not move: SIGTERM, and SIGKILL when the group ignores it.
  void stopGroup(Milliseconds) override {
    terminate();
    kill();
  }
  int processIdentifier() const override { return pid_; }

  const std::string& path() const { return path_; }
  const std::vector<std::string>& arguments() const { return args_; }
  int terminateCount() const { return terminates_; }
  int killCount() const { return kills_; }

 private:
  // The child ends; a signal ends the rest of its group with it.
  void exitNow(bool bySignal);

  FakeRunLoop& loop_;
  std::string path_;
  std::vector<std::string> args_;
  ProcessScript script_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  bool launched_ = false;
  bool exited_ = false;
  bool leftoverAlive_ = false;
  int terminates_ = 0;
  int kills_ = 0;
  int pid_ = 0;
};

// Hands out children that follow the default script.
class FakeProcessLauncher : public ProcessLauncher {
 public:
  explicit FakeProcessLauncher(FakeRunLoop& loop) : loop_(loop) {}

  std::shared_ptr<Process> makeProcess(const std::string& path,
                                       const std::vector<std::string>& arguments) override;

  void setDefault(ProcessScript script) { default_ = std::move(script); }
  const std::vector<std::shared_ptr<FakeProcess>>& made() const { return made_; }
  std::size_t launchedCount() const;

 private:
  FakeRunLoop& loop_;
  ProcessScript default_;
  std::vector<std::shared_ptr<FakeProcess>> made_;
};

}  // namespace nuv::fake
