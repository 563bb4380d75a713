#include "platform/fake/FakeProcess.h"

#include <algorithm>

namespace nuv::fake {

namespace {
int nextPid = 1000;
}

FakeProcess::FakeProcess(FakeRunLoop& loop, std::string path, std::vector<std::string> args,
                         ProcessScript script)
    : loop_(loop), path_(std::move(path)), args_(std::move(args)), script_(std::move(script)) {}

bool FakeProcess::launch(std::string*) {
  launched_ = true;
  pid_ = nextPid++;
  std::weak_ptr<bool> alive = alive_;
  loop_.postDelayed(script_.runTime, [this, alive] {
    if (alive.lock() && !exited_) exitNow(false);
  });
  return true;
}

void FakeProcess::exitNow(bool bySignal) {
  exited_ = true;
  if (bySignal) {
    script_.output.clear();
    leftoverAlive_ = false;
    return;
  }
  if (script_.leftoverLifetime <= Milliseconds(0)) return;
  leftoverAlive_ = true;
  std::weak_ptr<bool> alive = alive_;
  loop_.postDelayed(script_.leftoverLifetime, [this, alive] {
    if (alive.lock()) leftoverAlive_ = false;
  });
}

void FakeProcess::waitUntilExit(Milliseconds outputGrace) {
  if (!launched_) return;
  loop_.runUntil([this] { return exited_; });
  if (!leftoverAlive_) return;
  auto graceOver = std::make_shared<bool>(false);
  loop_.postDelayed(outputGrace, [graceOver] { *graceOver = true; });
  loop_.runUntil([this, graceOver] { return !leftoverAlive_ || *graceOver; });
}

void FakeProcess::terminate() {
  if (!isGroupRunning()) return;
  ++terminates_;
  if (!script_.ignoresTerminate) exitNow(true);
}

void FakeProcess::kill() {
  if (!isGroupRunning()) return;
  ++kills_;
  exitNow(true);
}

std::shared_ptr<Process> FakeProcessLauncher::makeProcess(const std::string& path,
                                                          const std::vector<std::string>& args) {
  auto p = std::make_shared<FakeProcess>(loop_, path, args, default_);
  made_.push_back(p);
  return p;
}

std::size_t FakeProcessLauncher::launchedCount() const {
  return std::count_if(made_.begin(), made_.end(),
                       [](const auto& p) { return p->processIdentifier() != 0; });
}

}  // namespace nuv::fake
