#pragma once

#include <functional>

#include "platform/Clock.h"
#include "platform/Timer.h"

namespace nuv {

// The main thread's event loop: timers, work posted from any thread, and the
// event sources of the backends (bus, udev, child processes) all run here.
class RunLoop {
 public:
  virtual ~RunLoop() = default;

  // Thread-safe. Runs `work` on the loop thread in a later iteration, never
  // inline on the calling thread, in the order posted.
  virtual void post(Closure work) = 0;
  // Thread-safe. Runs `work` on the loop thread once `delay` has passed.
  virtual void postDelayed(Milliseconds delay, Closure work) = 0;

  // Loop thread only. Schedules a one-shot timer (see Timer for lifetime).
  virtual TimerRef scheduleTimer(Milliseconds interval, Closure action) = 0;

  // Loop thread only. Serves the loop until quit() is called.
  virtual void run() = 0;
  // Ends the outermost run(). Thread-safe.
  virtual void quit() = 0;
  // Loop thread only; re-entrant. Serves the loop (timers, posted work, I/O)
  // until `done()` returns true. `done` is checked after every iteration.
  virtual void runUntil(const std::function<bool()>& done) = 0;

  virtual const Clock& clock() const = 0;
};

}  // namespace nuv
