#pragma once

#include <chrono>

#include "platform/Date.h"

namespace nuv {

using MonotonicTime = std::chrono::steady_clock::time_point;

// Time as the system classes see it. The Linux clock reads the system clocks;
// the fake advances only when a test moves virtual time.
class Clock {
 public:
  virtual ~Clock() = default;
  // Wall-clock date, for stamps that leave the process (entries, start date).
  virtual Date now() const = 0;
  // Monotonic time, for measuring intervals.
  virtual MonotonicTime monotonicNow() const = 0;
};

}  // namespace nuv
