#pragma once

#include <string>

#include "platform/HistoryStore.h"

namespace nuvdevices {

// The texts beside a device's battery chart. Plain C++ (no GTK); times are
// shown in the local time zone.
struct HistorySummary {
  // "Now 85%, charging · lowest 20% at 14:05 · last full charge 09:30", or
  // "No battery changes in this time" when there are none. Times older than
  // today's midnight carry their date.
  static std::string line(const nuv::DeviceHistory& history, nuv::Date now);
  // "14:05", or "Dec 6 14:05" when `time` is not on `now`'s local day.
  static std::string clock(nuv::Date time, nuv::Date now);
};

}  // namespace nuvdevices
