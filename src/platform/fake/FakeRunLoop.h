#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/RunLoop.h"

namespace nuv::fake {

// A run loop on virtual time. Nothing runs until the test turns the crank:
// advance() moves time forward and runs everything that falls due on the way,
// in due-time order (ties in posting order). post() is thread-safe so that
// work handed over from other threads lands in the queue like real posts.
class FakeRunLoop : public RunLoop, public Clock {
 public:
  FakeRunLoop();
  ~FakeRunLoop() override;

  // RunLoop
  void post(Closure work) override;
  void postDelayed(Milliseconds delay, Closure work) override;
  TimerRef scheduleTimer(Milliseconds interval, Closure action) override;
  void run() override;
  void quit() override;
  // Runs due work, jumping virtual time to the next due item, until `done`
  // or until nothing is left to run.
  void runUntil(const std::function<bool()>& done) override;
  const Clock& clock() const override { return *this; }

  // Clock
  Date now() const override;
  MonotonicTime monotonicNow() const override;

  // Test controls.
  // Runs everything due within `delta` from now, then sets time to now+delta.
  void advance(Milliseconds delta);
  // Runs everything due now (posted work included), without moving time.
  void runUntilIdle();
  Milliseconds elapsed() const;
  // Items waiting to run: posted work, delayed work and valid timers.
  std::size_t pendingTaskCount() const;
  // Timers that are scheduled and valid.
  std::size_t pendingTimerCount() const;
  // Delay until the next item falls due, if any.
  std::optional<Milliseconds> nextTaskDelay() const;
  void setWallClockOrigin(Date origin) { wallOrigin_ = origin; }

 private:
  struct Item;
  class FakeTimer;
  bool runNext(std::optional<Milliseconds> limit);
  void push(Milliseconds delay, Closure work, std::shared_ptr<FakeTimer> timer);

  mutable std::mutex mutex_;
  std::vector<Item> queue_;
  std::uint64_t seq_ = 0;
  Milliseconds now_{0};
  Date wallOrigin_;
  bool quit_ = false;
};

}  // namespace nuv::fake
