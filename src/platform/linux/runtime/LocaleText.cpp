#include "platform/linux/runtime/LocaleText.h"

#include <glib/gi18n.h>

#include <cstdarg>

#include "platform/linux/GlibHandles.h"
#include "platform/linux/runtime/IsoDate.h"

namespace nuv::linux_backend {

std::string LocaleText::format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  nuv::glib::String text(g_strdup_vprintf(format, args));
  va_end(args);
  return text.get();
}

std::string LocaleText::utcTime(nuv::Date date) {
  // TRANSLATORS: a time in UTC in the tables of nuvctl, in the directives of
  // g_date_time_format; say that it is UTC ("%d.%m.%Y %H:%M:%S UTC").
  return IsoDate::formatUtc(date, _("%Y-%m-%dT%H:%M:%SZ"));
}

std::string LocaleText::utcDay(nuv::Date date) {
  // TRANSLATORS: a calendar day, in the directives of g_date_time_format.
  return IsoDate::formatUtc(date, _("%Y-%m-%d"));
}

}  // namespace nuv::linux_backend
