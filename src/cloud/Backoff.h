#pragma once

#include <chrono>
#include <optional>

#include "platform/Timer.h"

namespace nuv {

// The wait before the next try of a failing cloud call: 5 s after the first
// failure, doubling after each further one, at most 5 minutes; never shorter
// than the wait the service asked for. A success starts over.
class Backoff {
 public:
  static constexpr Milliseconds kFirst{5000};
  static constexpr Milliseconds kMax{300000};

  // Counts a failure and returns the wait before the next try.
  Milliseconds next(std::optional<std::chrono::seconds> retryAfter = std::nullopt);
  void reset() { failures_ = 0; }
  // Failures since the last reset.
  int failures() const { return failures_; }

 private:
  int failures_ = 0;
};

}  // namespace nuv
