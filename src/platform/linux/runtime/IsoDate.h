#pragma once

#include <optional>
#include <string>

#include "platform/Date.h"

namespace nuv::linux_backend {

// ISO 8601 texts of dates, in UTC with a "Z", as every tool and backend of the
// module writes them: "2026-06-01T12:34:56Z", or with the microseconds
// "2026-06-01T12:34:56.000123Z". Built on GLib's GDateTime.
class IsoDate {
 public:
  static std::string format(Date date, bool withMicroseconds = false);
  // `date` in UTC in any form of g_date_time_format ("%d.%m.%Y %H:%M"), to
  // the second unless `pattern` shows the microseconds (%f); "" for a date
  // GDateTime cannot hold.
  static std::string formatUtc(Date date, const char* pattern);
  // The current time, to the second.
  static std::string now();
  // An ISO 8601 date and time ("2026-06-01T12:34:56Z", "...+02:00", local
  // time without a zone) or a calendar date ("2026-06-01", its local
  // midnight); none for anything else.
  static std::optional<Date> parse(const std::string& text);
};

}  // namespace nuv::linux_backend
