#pragma once

#include <string>

#include "platform/Calendar.h"

typedef struct _GTimeZone GTimeZone;

namespace nuv::linux_backend {

// The Gregorian calendar in a GLib time zone: by default the user's local one
// (TZ, else /etc/localtime), read once at construction.
class GlibCalendar : public Calendar {
 public:
  GlibCalendar();
  // A named zone such as "Pacific/Auckland"; UTC when the name is unknown.
  explicit GlibCalendar(const std::string& zoneIdentifier);
  ~GlibCalendar() override;
  GlibCalendar(const GlibCalendar&) = delete;
  GlibCalendar& operator=(const GlibCalendar&) = delete;

  std::chrono::sys_days dayOf(Date date) const override;

 private:
  GTimeZone* zone_;
};

}  // namespace nuv::linux_backend
