#include "platform/linux/runtime/IsoDate.h"

#include <glib.h>

#include <chrono>

namespace nuv::linux_backend {

std::string IsoDate::format(Date date, bool withMicroseconds) {
  return formatUtc(date, withMicroseconds ? "%Y-%m-%dT%H:%M:%S.%fZ" : "%Y-%m-%dT%H:%M:%SZ");
}

std::string IsoDate::formatUtc(Date date, const char* pattern) {
  const std::int64_t us = date.microseconds();
  // Whole seconds towards the past, so that a date before 1970 keeps a
  // positive fraction.
  const std::int64_t seconds = us / 1'000'000 - (us % 1'000'000 < 0 ? 1 : 0);
  const std::int64_t fraction = us - seconds * 1'000'000;
  GDateTime* utc = g_date_time_new_from_unix_utc(seconds);
  if (!utc) return {};
  GDateTime* exact = g_date_time_add(utc, fraction);
  g_date_time_unref(utc);
  if (!exact) return {};
  gchar* text = g_date_time_format(exact, pattern);
  g_date_time_unref(exact);
  std::string out = text ? text : "";
  g_free(text);
  return out;
}

std::optional<Date> IsoDate::parse(const std::string& text) {
  const bool dateOnly = text.size() == 10 && text[4] == '-' && text[7] == '-';
  const std::string full = dateOnly ? text + "T00:00:00" : text;
  GDateTime* parsed = g_date_time_new_from_iso8601(full.c_str(), nullptr);
  if (!parsed) return std::nullopt;
  const Date date = Date::fromMicroseconds(g_date_time_to_unix(parsed) * 1'000'000 +
                                           g_date_time_get_microsecond(parsed));
  g_date_time_unref(parsed);
  return date;
}

std::string IsoDate::now() { return format(Date::fromMicroseconds(g_get_real_time())); }

}  // namespace nuv::linux_backend
