#pragma once

#include <chrono>
#include <compare>
#include <cstdint>

namespace nuv {

// A moment in wall-clock time with microsecond resolution, UTC. This is the
// date that travels on the bus (as an `x`: microseconds since the Unix epoch)
// and in the user defaults file.
struct Date {
  std::chrono::sys_time<std::chrono::microseconds> time{};

  static Date fromMicroseconds(std::int64_t us) {
    return Date{std::chrono::sys_time<std::chrono::microseconds>(std::chrono::microseconds(us))};
  }
  std::int64_t microseconds() const { return time.time_since_epoch().count(); }

  friend auto operator<=>(const Date&, const Date&) = default;
};

}  // namespace nuv
