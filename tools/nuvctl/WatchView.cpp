#include "WatchView.h"

#include <glib.h>
#include <glib/gi18n.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "TextTable.h"
#include "client/DeviceStatus.h"
#include "platform/linux/runtime/IsoDate.h"
#include "platform/linux/runtime/LocaleText.h"

namespace nuvctl {
namespace {

using nuv::linux_backend::LocaleText;
using nuvclient::DeviceStatus;

constexpr std::size_t kNameWidth = 24;

std::string truncate(const std::string& text, std::size_t width) {
  if (TextTable::width(text) <= width) return text;
  const char* end = g_utf8_offset_to_pointer(text.c_str(), static_cast<glong>(width - 1));
  return std::string(text.c_str(), end) + "\xE2\x80\xA6";  // …
}

std::string flagCell(const std::string* value) {
  if (!value) return "-";
  if (const auto flag = DeviceStatus::flag(value)) return *flag ? _("yes") : _("no");
  return truncate(DeviceStatus::displayText(*value), 8);
}

std::string ago(std::int64_t seconds) {
  // TRANSLATORS: how long ago something happened; %s is an age ("1m 15s").
  return LocaleText::format(_("%s ago"), WatchView::age(seconds).c_str());
}

}  // namespace

nuv::Date WatchView::now() { return nuv::Date::fromMicroseconds(g_get_real_time()); }

std::string WatchView::age(std::int64_t seconds) {
  const long long s = std::max<std::int64_t>(seconds, 0);
  // TRANSLATORS: the ages in nuvctl's tables, as short as a clock's: seconds;
  // minutes and seconds; hours and minutes; days and hours.
  if (s < 60) return LocaleText::format(_("%llds"), s);
  if (s < 3600) return LocaleText::format(_("%lldm %02llds"), s / 60, s % 60);
  if (s < 86400) return LocaleText::format(_("%lldh %02lldm"), s / 3600, s % 3600 / 60);
  return LocaleText::format(_("%'lldd %02lldh"), s / 86400, s % 86400 / 3600);
}

std::string WatchView::batteryCell(const std::string* level) {
  const auto parsed = DeviceStatus::batteryLevel(level);
  if (!parsed) return "-";
  const int percent = *parsed;
  const int filled = (percent + 5) / 10;
  const std::string shown = DeviceStatus::percentText(percent);
  // Right-aligned as wide as 100%.
  const std::size_t room =
      TextTable::width(DeviceStatus::percentText(100)) - TextTable::width(shown);
  return "[" + std::string(filled, '#') + std::string(10 - filled, ' ') + "] " +
         std::string(room, ' ') + shown;
}

std::string WatchView::jsonLine(const StackPayload& payload, nuv::Date received) {
  nlohmann::json devices = nlohmann::json::object();
  for (const auto& entry : payload.devices) {
    nlohmann::json fields = nlohmann::json::object();
    for (const auto& [name, value] : entry.fields) fields[name] = value;
    if (entry.timestamp)
      fields["timestamp"] = nuv::linux_backend::IsoDate::format(*entry.timestamp, true);
    devices[entry.key] = std::move(fields);
  }
  const nlohmann::json line = {{"received", nuv::linux_backend::IsoDate::format(received, true)},
                               {"devices", std::move(devices)}};
  // The bus only carries valid UTF-8, but a bad byte must cost a character,
  // not the whole line.
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void WatchView::update(const StackPayload& payload, nuv::Date received) {
  last_ = payload;
  lastReceived_ = received;
  for (const auto& entry : payload.devices) {
    if (entry.timestamp) lastChange_[entry.key] = *entry.timestamp;
  }
}

std::string WatchView::table(nuv::Date now) const {
  if (!lastReceived_) {
    return _(
        "Waiting for NUVModule to answer (no module is running yet?). Its devices are\n"
        "shown as soon as one does. Press Ctrl-C to stop.\n");
  }
  const auto secondsBetween = [](nuv::Date from, nuv::Date to) {
    return (to.microseconds() - from.microseconds()) / 1000000;
  };
  const std::size_t count = last_.devices.size();
  std::string out =
      // TRANSLATORS: the heading of nuvctl's device table: how many devices the
      // module reports, and when it last said so ("5s").
      LocaleText::format(ngettext("NUVModule devices: %zu reported, updated %s ago",
                                  "NUVModule devices: %zu reported, updated %s ago", count),
                         count, age(secondsBetween(*lastReceived_, now)).c_str());
  out += "\n\n";
  using Align = TextTable::Align;
  TextTable devices({{_("NAME"), Align::Left, kNameWidth},
                     {_("BATTERY"), Align::Left, 17},
                     // TRANSLATORS: a column heading in nuvctl's device table: yes or no.
                     {_("CHARGING"), Align::Left, 8},
                     // TRANSLATORS: a column heading: attached on USB, yes or no.
                     {_("ATTACHED"), Align::Left, 8},
                     // TRANSLATORS: a column heading: when the device last changed.
                     {_("CHANGED"), Align::Left, 0}});
  const std::string under(kNameWidth + 2, ' ');
  for (const auto& entry : last_.devices) {
    const std::string* name = entry.field("name");
    const auto change = lastChange_.find(entry.key);
    devices.add({truncate(DeviceStatus::displayText(name ? *name : entry.key), kNameWidth),
                 batteryCell(entry.field("Battery")), flagCell(entry.field("Charging")),
                 flagCell(entry.field("Host Attached")),
                 change == lastChange_.end() ? "-" : ago(secondsBetween(change->second, now))});
    const std::string power = DeviceStatus::powerText(entry);
    if (!power.empty()) {
      // TRANSLATORS: a line under a device in nuvctl's table ("battery now: Charging at 12 W").
      devices.note(under + LocaleText::format(_("battery now: %s"), power.c_str()));
    }
    const std::string health = DeviceStatus::healthText(entry);
    if (!health.empty()) {
      // TRANSLATORS: a line under a device ("battery health: 412 cycles, 87% of design capacity").
      devices.note(under + LocaleText::format(_("battery health: %s"), health.c_str()));
    }
  }
  out += devices.text();
  if (last_.devices.empty()) out += _("(no devices)\n");
  return out;
}

}  // namespace nuvctl
