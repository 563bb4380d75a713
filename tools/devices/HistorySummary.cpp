#include "HistorySummary.h"

#include <glib.h>
#include <glib/gi18n.h>

#include <algorithm>

#include "client/HealthTrend.h"
#include "platform/linux/GlibHandles.h"
#include "platform/linux/runtime/LocaleText.h"

namespace nuvdevices {
namespace {

using nuv::linux_backend::LocaleText;

nuv::glib::DateTime local(nuv::Date date) {
  return nuv::glib::DateTime(g_date_time_new_from_unix_local(date.microseconds() / 1'000'000));
}

// " · " between the parts of a summary.
std::string& append(std::string& text, const std::string& part) {
  return text += " \u00b7 " + part;
}

}  // namespace

std::string HistorySummary::date(nuv::Date date, const char* format) {
  const nuv::glib::DateTime time = local(date);
  nuv::glib::String text(time ? g_date_time_format(time.get(), format) : nullptr);
  return text ? text.get() : "";
}

std::string HistorySummary::clock(nuv::Date time, nuv::Date now) {
  const nuv::glib::DateTime t = local(time), n = local(now);
  const bool sameDay = t && n && g_date_time_get_year(t.get()) == g_date_time_get_year(n.get()) &&
                       g_date_time_get_day_of_year(t.get()) == g_date_time_get_day_of_year(n.get());
  // TRANSLATORS: g_date_time_format() formats of a time today and of a time
  // on another day ("Dec 6 14:05"); %b is the month's short name.
  return date(time, sameDay ? _("%H:%M") : _("%b %-d %H:%M"));
}

std::string HistorySummary::line(const nuv::DeviceHistory& history, nuv::Date now) {
  const auto& samples = history.samples;
  if (samples.empty()) return _("No battery changes in this time");
  const auto& last = samples.back();
  std::string text =
      LocaleText::format(last.charging ? _("Now %d%%, charging") : _("Now %d%%"), last.level);
  const auto lowest = std::min_element(samples.begin(), samples.end(),
                                       [](auto& a, auto& b) { return a.level < b.level; });
  // TRANSLATORS: the lowest battery level, and when (a time or a day and time).
  append(text, LocaleText::format(_("lowest %d%% at %s"), lowest->level,
                                  clock(lowest->time, now).c_str()));
  const auto full =
      std::find_if(samples.rbegin(), samples.rend(), [](const auto& s) { return s.level >= 100; });
  append(text, full != samples.rend()
                   // TRANSLATORS: when the battery was full last (a time or a day and time).
                   ? LocaleText::format(_("last full charge %s"), clock(full->time, now).c_str())
                   : _("no full charge"));
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
  if (!last) return _("No battery health readings yet; the probe takes one a day");
  const int now = *last->maxCapacity, then = *first->maxCapacity;
  // TRANSLATORS: g_date_time_format() format of a month ("March 2024").
  const char* month = _("%B %Y");
  std::string text;
  if (first == last) {
    text = LocaleText::format(_("Maximum capacity %d%%"), now);
  } else {
    // TRANSLATORS: the capacity now, the first one kept, and its month.
    const char* format = now < then   ? _("Maximum capacity %d%%, down from %d%% in %s")
                         : now > then ? _("Maximum capacity %d%%, up from %d%% in %s")
                                      : _("Maximum capacity %d%%, as %d%% in %s");
    text = LocaleText::format(format, now, then, date(first->time, month).c_str());
  }
  const int threshold = static_cast<int>(HealthTrend::kThreshold);
  if (projected80) {
    // TRANSLATORS: the capacity a battery is worn at (80%), and the month expected.
    append(text, LocaleText::format(_("%d%% expected around %s"), threshold,
                                    date(*projected80, month).c_str()));
  } else if (now <= threshold) {
    append(text, LocaleText::format(_("at or below %d%%"), threshold));
  } else if (last->time.time - first->time.time < HealthTrend::kMinimumSpan) {
    const auto days = static_cast<unsigned long>(HealthTrend::kMinimumSpan.count());
    append(text, LocaleText::format(ngettext("a trend needs %lu day of readings",
                                             "a trend needs %lu days of readings", days),
                                    days));
  } else {
    append(text, LocaleText::format(_("not falling toward %d%%"), threshold));
  }
  return text;
}

}  // namespace nuvdevices
