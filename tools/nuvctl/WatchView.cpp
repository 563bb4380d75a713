#include "WatchView.h"

#include <glib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "client/DeviceStatus.h"
#include "platform/linux/runtime/IsoDate.h"

namespace nuvctl {
namespace {

using nuvclient::DeviceStatus;

constexpr std::size_t kNameWidth = 24;

std::string pad(const std::string& text, std::size_t width) {
  // Width in code points: good enough for names in a terminal table.
  const std::size_t length = g_utf8_strlen(text.c_str(), static_cast<gssize>(text.size()));
  if (length >= width) return text;
  return text + std::string(width - length, ' ');
}

std::string truncate(const std::string& text, std::size_t width) {
  const std::size_t length = g_utf8_strlen(text.c_str(), static_cast<gssize>(text.size()));
  if (length <= width) return text;
  const char* end = g_utf8_offset_to_pointer(text.c_str(), static_cast<glong>(width - 1));
  return std::string(text.c_str(), end) + "\xE2\x80\xA6";  // …
}

std::string flagCell(const std::string* value) {
  if (!value) return "-";
  if (const auto flag = DeviceStatus::flag(value)) return *flag ? "yes" : "no";
  return truncate(DeviceStatus::displayText(*value), 8);
}

}  // namespace

nuv::Date WatchView::now() { return nuv::Date::fromMicroseconds(g_get_real_time()); }

std::string WatchView::age(std::int64_t seconds) {
  seconds = std::max<std::int64_t>(seconds, 0);
  char buffer[48];
  if (seconds < 60) {
    std::snprintf(buffer, sizeof buffer, "%llds", static_cast<long long>(seconds));
  } else if (seconds < 3600) {
    std::snprintf(buffer, sizeof buffer, "%lldm %02llds", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  } else if (seconds < 86400) {
    std::snprintf(buffer, sizeof buffer, "%lldh %02lldm", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds % 3600 / 60));
  } else {
    std::snprintf(buffer, sizeof buffer, "%lldd %02lldh", static_cast<long long>(seconds / 86400),
                  static_cast<long long>(seconds % 86400 / 3600));
  }
  return buffer;
}

std::string WatchView::batteryCell(const std::string* level) {
  const auto parsed = DeviceStatus::batteryLevel(level);
  if (!parsed) return "-";
  const int percent = *parsed;
  const int filled = (percent + 5) / 10;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "[%s%s] %3d%%", std::string(filled, '#').c_str(),
                std::string(10 - filled, ' ').c_str(), percent);
  return buffer;
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
  std::string out;
  if (!lastReceived_) {
    return "Waiting for NUVModule to answer (no module is running yet?). Its devices are\n"
           "shown as soon as one does. Press Ctrl-C to stop.\n";
  }
  const auto secondsBetween = [](nuv::Date from, nuv::Date to) {
    return (to.microseconds() - from.microseconds()) / 1000000;
  };
  out += "NUVModule devices: " + std::to_string(last_.devices.size()) + " reported, updated " +
         age(secondsBetween(*lastReceived_, now)) + " ago\n\n";
  out += pad("NAME", kNameWidth) + "  " + pad("BATTERY", 17) + "  " + pad("CHARGING", 8) + "  " +
         pad("ATTACHED", 8) + "  CHANGED\n";
  for (const auto& entry : last_.devices) {
    const std::string* name = entry.field("name");
    const std::string shown =
        truncate(DeviceStatus::displayText(name ? *name : entry.key), kNameWidth);
    const auto change = lastChange_.find(entry.key);
    const std::string changed =
        change == lastChange_.end() ? "-" : age(secondsBetween(change->second, now)) + " ago";
    out += pad(shown, kNameWidth) + "  " + pad(batteryCell(entry.field("Battery")), 17) + "  " +
           pad(flagCell(entry.field("Charging")), 8) + "  " +
           pad(flagCell(entry.field("Host Attached")), 8) + "  " + changed + "\n";
    const std::string power = DeviceStatus::powerText(entry);
    if (!power.empty()) out += std::string(kNameWidth + 2, ' ') + "power: " + power + "\n";
    const std::string health = DeviceStatus::healthText(entry);
    if (!health.empty())
      out += std::string(kNameWidth + 2, ' ') + "battery health: " + health + "\n";
  }
  if (last_.devices.empty()) out += "(no devices)\n";
  return out;
}

}  // namespace nuvctl
