#pragma once

#include <chrono>
#include <optional>
#include <vector>

#include "platform/Date.h"
#include "platform/HistoryStore.h"

namespace nuvclient {

// Where a battery's maximum capacity is heading, from the module's daily
// health rows. Pure: no clock, no locale.
struct HealthTrend {
  // The least time from the first row with a maximum capacity to the last
  // one before a line through them says anything.
  static constexpr std::chrono::days kMinimumSpan{30};
  // A projection further out than this after the last row is none: a line
  // that falls so slowly is flat within the readings' noise.
  static constexpr std::chrono::years kHorizon{20};
  static constexpr double kThreshold = 80.0;  // percent

  // The date a least-squares line over (time, maxCapacity) of `rows`
  // reaches 80 %, always after the last row. None when the rows with a max
  // capacity cover less than kMinimumSpan, when the line does not fall, or
  // when the battery is already there: the last row, or the line at the
  // last row's time, at or under 80 % (the reading itself says so then; a
  // date in the past would only repeat it). None too beyond kHorizon.
  // `rows` in any order; rows without a max capacity are left out.
  static std::optional<nuv::Date> projected80(const std::vector<nuv::HealthReading>& rows);

  // The same with the reason when there is no date, for a reader that says
  // why: the rows cover less than kMinimumSpan; the line is flat, rising or
  // beyond kHorizon; the battery is already at or under 80 %.
  enum class Outcome { Projected, TooShort, NotFalling, AtOrUnder80 };
  struct Projection {
    Outcome outcome = Outcome::TooShort;
    std::optional<nuv::Date> date;  // with Projected only
    // The time the rows with a max capacity cover.
    std::chrono::microseconds span{0};
  };
  static Projection project(const std::vector<nuv::HealthReading>& rows);
};

}  // namespace nuvclient
