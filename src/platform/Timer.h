#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace nuv {

using Closure = std::function<void()>;
using Milliseconds = std::chrono::milliseconds;

// A one-shot timer scheduled on a run loop.
//
// Like a timer on a classic run loop, a scheduled timer is kept alive by the
// loop until it fires or is invalidated: dropping the last reference to it
// does not cancel it, so whoever replaces a reference to a pending timer
// invalidates it first.
// Loop thread only.
class Timer {
 public:
  virtual ~Timer() = default;
  // Cancels the timer if it has not fired yet. Idempotent.
  virtual void invalidate() = 0;
  // True until the timer has fired or been invalidated.
  virtual bool isValid() const = 0;
};

using TimerRef = std::shared_ptr<Timer>;

}  // namespace nuv
