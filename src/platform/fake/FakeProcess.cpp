#include "platform/fake/FakeProcess.h"

namespace nuv::fake {

namespace {
int nextPid = 1000;
}

FakeProcess::FakeProcess(FakeRunLoop& loop, std::string path, std::vector<std::string> args,
                         ProcessScript script)
    : loop_(loop), path_(std::move(path)), args_(std::move(args)), script_(std::move(script)) {}

bool FakeProcess::launch(std::string* error) {
  if (script_.failsToStart) {
    if (error) *error = "Failed to execute child process (No such file or directory)";
    return false;
  }
  launched_ = true;
  pid_ = nextPid++;
  std::weak_ptr<bool> alive = alive_;
  loop_.postDelayed(script_.runTime, [this, alive] {
    if (alive.lock()) exitNow();
  });
  return true;
}

void FakeProcess::exitNow() { exited_ = true; }

void FakeProcess::waitUntilExit() {
  if (!launched_) return;
  loop_.runUntil([this] { return exited_; });
}

std::string FakeProcess::readOutputToEnd() { return exited_ ? script_.output : std::string(); }

void FakeProcess::terminate() {
  if (!isRunning()) return;
  ++terminates_;
  if (!script_.ignoresTerminate) {
    script_.output.clear();
    exitNow();
  }
}

void FakeProcess::kill() {
  if (!isRunning()) return;
  ++kills_;
  script_.output.clear();
  exitNow();
}

std::shared_ptr<Process> FakeProcessLauncher::makeProcess(const std::string& path,
                                                          const std::vector<std::string>& args) {
  ProcessScript script = default_;
  if (!queue_.empty()) {
    script = std::move(queue_.front());
    queue_.pop_front();
  }
  auto p = std::make_shared<FakeProcess>(loop_, path, args, std::move(script));
  made_.push_back(p);
  return p;
}

std::size_t FakeProcessLauncher::launchedCount() const {
  std::size_t n = 0;
  for (const auto& p : made_) n += p->processIdentifier() != 0;
  return n;
}

}  // namespace nuv::fake
