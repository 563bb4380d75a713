#include "HistorySummary.h"

#include <glib.h>

#include <algorithm>

#include "platform/linux/GlibHandles.h"

namespace nuvdevices {
namespace {

GDateTime* local(nuv::Date date) {
  const std::int64_t us = date.microseconds();
  GDateTime* utc = g_date_time_new_from_unix_utc(us / 1'000'000);
  GDateTime* shown = g_date_time_to_local(utc);
  g_date_time_unref(utc);
  return shown;
}

}  // namespace

std::string HistorySummary::clock(nuv::Date time, nuv::Date now) {
  GDateTime* t = local(time);
  GDateTime* n = local(now);
  const bool sameDay = g_date_time_get_year(t) == g_date_time_get_year(n) &&
                       g_date_time_get_day_of_year(t) == g_date_time_get_day_of_year(n);
  nuv::glib::String text(g_date_time_format(t, sameDay ? "%H:%M" : "%b %-d %H:%M"));
  g_date_time_unref(t);
  g_date_time_unref(n);
  return text ? text.get() : "";
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

}  // namespace nuvdevices
