#include "platform/fake/FakeRunLoop.h"

#include <algorithm>

namespace nuv::fake {

class FakeRunLoop::FakeTimer : public Timer {
 public:
  void invalidate() override { valid_ = false; }
  bool isValid() const override { return valid_; }
  void fired() { valid_ = false; }

 private:
  bool valid_ = true;
};

struct FakeRunLoop::Item {
  Milliseconds due;
  std::uint64_t seq;
  Closure work;
  std::shared_ptr<FakeTimer> timer;  // null for posted work
};

FakeRunLoop::FakeRunLoop() : wallOrigin_(Date::fromMicroseconds(1'780'000'000'000'000)) {}
FakeRunLoop::~FakeRunLoop() = default;

void FakeRunLoop::push(Milliseconds delay, Closure work, std::shared_ptr<FakeTimer> timer) {
  std::lock_guard lock(mutex_);
  queue_.push_back(
      Item{now_ + std::max(delay, Milliseconds(0)), seq_++, std::move(work), std::move(timer)});
}

void FakeRunLoop::post(Closure work) { push(Milliseconds(0), std::move(work), nullptr); }

void FakeRunLoop::postDelayed(Milliseconds delay, Closure work) {
  push(delay, std::move(work), nullptr);
}

TimerRef FakeRunLoop::scheduleTimer(Milliseconds interval, Closure action) {
  auto timer = std::make_shared<FakeTimer>();
  push(interval, std::move(action), timer);
  return timer;
}

// Pops and runs the earliest item due at or before now_+limit (any item when
// limit is empty). Returns false when there was none.
bool FakeRunLoop::runNext(std::optional<Milliseconds> limit) {
  Item item;
  {
    std::lock_guard lock(mutex_);
    // Invalidated timers are dropped without running.
    std::erase_if(queue_, [](const Item& i) { return i.timer && !i.timer->isValid(); });
    if (queue_.empty()) return false;
    auto it = std::min_element(queue_.begin(), queue_.end(), [](const Item& a, const Item& b) {
      return a.due != b.due ? a.due < b.due : a.seq < b.seq;
    });
    if (limit && it->due > now_ + *limit) return false;
    item = std::move(*it);
    queue_.erase(it);
    now_ = std::max(now_, item.due);
  }
  if (item.timer) item.timer->fired();
  item.work();
  return true;
}

void FakeRunLoop::run() {
  quit_ = false;
  while (!quit_ && runNext(std::nullopt)) {
  }
}

void FakeRunLoop::quit() { quit_ = true; }

void FakeRunLoop::runUntil(const std::function<bool()>& done) {
  while (!done() && runNext(std::nullopt)) {
  }
}

void FakeRunLoop::advance(Milliseconds delta) {
  const Milliseconds target = elapsed() + delta;
  while (runNext(target - elapsed())) {
  }
  std::lock_guard lock(mutex_);
  now_ = std::max(now_, target);
}

void FakeRunLoop::runUntilIdle() { advance(Milliseconds(0)); }

Milliseconds FakeRunLoop::elapsed() const {
  std::lock_guard lock(mutex_);
  return now_;
}

std::size_t FakeRunLoop::pendingTaskCount() const {
  std::lock_guard lock(mutex_);
  return std::count_if(queue_.begin(), queue_.end(),
                       [](const Item& i) { return !i.timer || i.timer->isValid(); });
}

std::size_t FakeRunLoop::pendingTimerCount() const {
  std::lock_guard lock(mutex_);
  return std::count_if(queue_.begin(), queue_.end(),
                       [](const Item& i) { return i.timer && i.timer->isValid(); });
}

std::optional<Milliseconds> FakeRunLoop::nextTaskDelay() const {
  std::lock_guard lock(mutex_);
  std::optional<Milliseconds> best;
  for (const auto& i : queue_) {
    if (i.timer && !i.timer->isValid()) continue;
    if (!best || i.due - now_ < *best) best = i.due - now_;
  }
  return best;
}

Date FakeRunLoop::now() const {
  std::lock_guard lock(mutex_);
  return Date{wallOrigin_.time + std::chrono::duration_cast<std::chrono::microseconds>(now_)};
}

MonotonicTime FakeRunLoop::monotonicNow() const {
  std::lock_guard lock(mutex_);
  return MonotonicTime(now_);
}

}  // namespace nuv::fake
