#include "HistorySummary.h"

#include <glib.h>

#include <algorithm>

#include "client/HealthTrend.h"
#include "platform/linux/GlibHandles.h"

namespace nuvdevices {
namespace {

nuv::glib::DateTime local(nuv::Date date) {
  return nuv::glib::DateTime(g_date_time_new_from_unix_local(date.microseconds() / 1'000'000));
}

std::string format(nuv::Date date, const char* pattern) {
  const nuv::glib::DateTime time = local(date);
  nuv::glib::String text(time ? g_date_time_format(time.get(), pattern) : nullptr);
  return text ? text.get() : "";
}

}  // namespace

std::string HistorySummary::clock(nuv::Date time, nuv::Date now) {
  const nuv::glib::DateTime t = local(time), n = local(now);
  const bool sameDay = t && n && g_date_time_get_year(t.get()) == g_date_time_get_year(n.get()) &&
                       g_date_time_get_day_of_year(t.get()) == g_date_time_get_day_of_year(n.get());
  return format(time, sameDay ? "%H:%M" : "%b %-d %H:%M");
}

std::string HistorySummary::line(const nuv::DeviceHistory& history, nuv::Date now) {
  const auto& samples = history.samples;
  if (samples.empty()) return "No battery changes in this time";
  const auto& last = samples.back();
  std::string text = "Now " + std::to_string(last.level) + "%";
  if (last.charging) text += ", charging";
  const auto lowest = std::min_element(samples.begin(), samples.end(),
                                       [](auto& a, auto& b) { return a.level < b.level; });
  text += " \u00b7 lowest " + std::to_string(lowest->level) + "% at " + clock(lowest->time, now);
  const auto full =
      std::find_if(samples.rbegin(), samples.rend(), [](const auto& s) { return s.level >= 100; });
  text += full != samples.rend() ? " \u00b7 last full charge " + clock(full->time, now)
                                 : " \u00b7 no full charge";
  return text;
}

std::string HistorySummary::health(const std::vector<nuv::HealthReading>& rows,
                                   std::optional<nuv::Date> projected80) {
  using nuvclient::HealthTrend;
  const nuv::HealthReading *first = nullptr, *last = nullptr;
  for (const auto& row : rows) {
    if (!row.maxCapacity) continue;
    if (!first || row.time < first->time) first = &row;
    if (!last || row.time >= last->time) last = &row;
  }
  if (!last) return "No battery health readings yet; the probe takes one a day";
  const int now = *last->maxCapacity, then = *first->maxCapacity;
  std::string text = "Maximum capacity " + std::to_string(now) + "%";
  if (first != last) {
    text += (now < then   ? ", down from "
             : now > then ? ", up from "
                          : ", as ") +
            std::to_string(then) + "% in " + format(first->time, "%B %Y");
  }
  if (projected80) {
    text += " \u00b7 80% expected around " + format(*projected80, "%B %Y");
  } else if (now <= HealthTrend::kThreshold) {
    text += " \u00b7 at or below 80%";
  } else if (last->time.time - first->time.time < HealthTrend::kMinimumSpan) {
    text += " \u00b7 a trend needs " + std::to_string(HealthTrend::kMinimumSpan.count()) +
            " days of readings";
  } else {
    text += " \u00b7 not falling toward 80%";
  }
  return text;
}

}  // namespace nuvdevices
