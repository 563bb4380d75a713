#include "client/HealthTrend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "platform/linux/runtime/IsoDate.h"

namespace nuvclient {
namespace {

using nuv::linux_backend::IsoDate;

// One row a day at 10:00 UTC from 2026-01-01, day d reading capacity(d).
std::vector<nuv::HealthReading> daily(int days, std::function<std::optional<int>(int)> capacity) {
  const nuv::Date start = *IsoDate::parse("2026-01-01T10:00:00Z");
  std::vector<nuv::HealthReading> rows;
  for (int d = 0; d < days; ++d) {
    rows.push_back(
        {nuv::Date{start.time + std::chrono::days(d)}, 300 + d, 2815, 3279, capacity(d)});
  }
  return rows;
}

// The expected dates come from the same fit done by hand (Python).
TEST(HealthTrend, ProjectsOnlyAFallingLineOverAMonthAndMore) {
  const int noise[] = {0, 1, -1, 1, 0, -1, -1, 1};
  struct Case {
    const char* what;
    std::vector<nuv::HealthReading> rows;
    const char* expected;  // UTC day, or nullptr for none
    HealthTrend::Outcome outcome;
  };
  using enum HealthTrend::Outcome;
  std::vector<Case> cases = {
      {"falling", daily(41, [](int d) { return 95 - d / 4; }), "2026-03-04", Projected},
      {"30 days exactly", daily(31, [](int d) { return 95 - d / 4; }), "2026-03-04", Projected},
      {"29 days", daily(30, [](int d) { return 95 - d / 4; }), nullptr, TooShort},
      {"noisy falling", daily(60, [&](int d) { return 95 - d / 10 + noise[d % 8]; }), "2026-06-09",
       Projected},
      {"flat", daily(40, [](int) { return 88; }), nullptr, NotFalling},
      {"rising", daily(40, [](int d) { return 85 + d / 10; }), nullptr, NotFalling},
      {"falling so slowly it is flat", daily(400, [](int d) { return d == 250 ? 89 : 90; }),
       nullptr, NotFalling},
      {"already at 80", daily(41, [](int d) { return 90 - d / 4; }), nullptr, AtOrUnder80},
      // The line has passed 80 at the last row though the last reading is 81.
      {"line already under 80", daily(41, [](int d) { return d == 40 ? 81 : 100 - d * 3 / 5; }),
       nullptr, AtOrUnder80},
      // Only rows with a capacity count towards the span.
      {"span without capacities",
       daily(45, [](int d) { return d < 20 ? std::optional<int>(95 - d / 4) : std::nullopt; }),
       nullptr, TooShort},
      {"no rows", {}, nullptr, TooShort},
  };
  auto reversed = cases[0].rows;
  std::reverse(reversed.begin(), reversed.end());
  cases.push_back({"falling, newest first", reversed, "2026-03-04", Projected});
  for (const auto& c : cases) {
    const auto projected = HealthTrend::projected80(c.rows);
    EXPECT_EQ(HealthTrend::project(c.rows).outcome, c.outcome) << c.what;
    if (!c.expected) {
      EXPECT_FALSE(projected) << c.what << ": " << IsoDate::format(*projected);
    } else {
      ASSERT_TRUE(projected) << c.what;
      EXPECT_EQ(IsoDate::format(*projected).substr(0, 10), c.expected) << c.what;
      for (const auto& row : c.rows) EXPECT_GT(*projected, row.time) << c.what;
    }
  }
}

}  // namespace
}  // namespace nuvclient
