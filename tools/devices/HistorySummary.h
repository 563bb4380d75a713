#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/HistoryStore.h"

namespace nuvdevices {

// The texts beside a device's battery and health charts, in the user's
// language. Plain C++ (no GTK); times are shown in the local time zone, with
// the locale's names of months.
struct HistorySummary {
  // "Now 85%, charging · lowest 20% at 14:05 · last full charge 09:30", or
  // "No battery changes in this time" when there are none. Times older than
  // today's midnight carry their date.
  static std::string line(const nuv::DeviceHistory& history, nuv::Date now);
  // "14:05", or "Dec 6 14:05" when `time` is not on `now`'s local day.
  static std::string clock(nuv::Date time, nuv::Date now);
  // `date` in local time through g_date_time_format(); "" for a date GLib
  // cannot hold.
  static std::string date(nuv::Date date, const char* format);
  // "Maximum capacity 87%, down from 95% in March 2024 · 80% expected around
  // November 2026" from the health rows (any order; those without a maximum
  // capacity left out) and HealthTrend's projection. Without one it says
  // why: "at or below 80%", "a trend needs 30 days of readings", or "not
  // falling toward 80%" (flat, rising, or too slowly to name a date).
  static std::string health(const std::vector<nuv::HealthReading>& rows,
                            std::optional<nuv::Date> projected80);
};

}  // namespace nuvdevices
