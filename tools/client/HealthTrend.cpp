#include "HealthTrend.h"

#include <algorithm>

namespace nuvclient {

std::optional<nuv::Date> HealthTrend::projected80(const std::vector<nuv::HealthReading>& rows) {
  return project(rows).date;
}

HealthTrend::Projection HealthTrend::project(const std::vector<nuv::HealthReading>& rows) {
  Projection out;
  std::vector<const nuv::HealthReading*> known;
  for (const auto& row : rows) {
    if (row.maxCapacity) known.push_back(&row);
  }
  if (known.empty()) return out;
  std::stable_sort(known.begin(), known.end(),
                   [](const auto* a, const auto* b) { return a->time < b->time; });
  const nuv::Date first = known.front()->time;
  const nuv::Date last = known.back()->time;
  out.span = last.time - first.time;
  if (out.span < kMinimumSpan) return out;
  out.outcome = Outcome::AtOrUnder80;
  if (*known.back()->maxCapacity <= kThreshold) return out;

  // x in days since the first row, centred on the mean for a stable fit.
  using Days = std::chrono::duration<double, std::chrono::days::period>;
  const auto x = [first](const nuv::HealthReading* row) {
    return std::chrono::duration_cast<Days>(row->time.time - first.time).count();
  };
  double meanX = 0, meanY = 0;
  for (const auto* row : known) {
    meanX += x(row);
    meanY += *row->maxCapacity;
  }
  meanX /= static_cast<double>(known.size());
  meanY /= static_cast<double>(known.size());
  double sxy = 0, sxx = 0;
  for (const auto* row : known) {
    const double dx = x(row) - meanX;
    sxy += dx * (*row->maxCapacity - meanY);
    sxx += dx * dx;
  }
  const double slope = sxy / sxx;  // percent per day; sxx > 0 as the span is
  const double lastX = x(known.back());
  if (slope < 0 && meanY + slope * (lastX - meanX) <= kThreshold) return out;
  out.outcome = Outcome::NotFalling;
  if (!(slope < 0)) return out;
  const double crossing = meanX + (kThreshold - meanY) / slope;
  if (crossing - lastX > std::chrono::duration_cast<Days>(kHorizon).count()) return out;
  const auto offset = std::chrono::duration_cast<std::chrono::microseconds>(Days(crossing));
  out.outcome = Outcome::Projected;
  out.date = nuv::Date{first.time + offset};
  return out;
}

}  // namespace nuvclient
