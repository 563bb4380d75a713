#include "platform/linux/runtime/GlibCalendar.h"

#include <glib.h>

namespace nuv::linux_backend {

GlibCalendar::GlibCalendar() : zone_(g_time_zone_new_local()) {}

GlibCalendar::GlibCalendar(const std::string& zoneIdentifier)
    : zone_(g_time_zone_new_identifier(zoneIdentifier.c_str())) {
  if (!zone_) zone_ = g_time_zone_new_utc();
}

GlibCalendar::~GlibCalendar() { g_time_zone_unref(zone_); }

std::chrono::sys_days GlibCalendar::dayOf(Date date) const {
  using namespace std::chrono;
  const auto seconds = floor<std::chrono::seconds>(date.time).time_since_epoch().count();
  GDateTime* utc = g_date_time_new_from_unix_utc(seconds);
  GDateTime* local = utc ? g_date_time_to_timezone(utc, zone_) : nullptr;
  if (utc) g_date_time_unref(utc);
  if (!local) {
    // Outside the years GLib represents (1..9999): fall back to UTC days.
    return floor<days>(date.time);
  }
  int y = 0, m = 0, d = 0;
  g_date_time_get_ymd(local, &y, &m, &d);
  g_date_time_unref(local);
  return sys_days(
      year_month_day(year(y), month(static_cast<unsigned>(m)), day(static_cast<unsigned>(d))));
}

}  // namespace nuv::linux_backend
