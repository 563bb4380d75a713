#include "DeviceStatus.h"

#include <algorithm>
#include <cctype>

#include "platform/Utf8.h"

namespace nuvclient {
namespace {

// Digits only, at most nine of them: always within int.
std::optional<int> digits(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  int value = 0;
  for (char c : text) value = value * 10 + (c - '0');
  return value;
}

// Any count the probe prints: cycles, percentages.
std::optional<int> count(const std::string* text) {
  return DeviceStatus::wholeNumber(text, 0, 999'999'999);
}

constexpr int kSlowChargerWatts = 5;

}  // namespace

std::string DeviceStatus::displayText(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const std::size_t n = nuv::utf8SequenceLength(text);
    const auto lead = static_cast<unsigned char>(text[0]);
    // C0 and DEL, a bad byte, or a C1 control (U+0080-U+009F: C2 80-C2 9F).
    const bool control =
        n == 1 ? lead < 0x20 || lead == 0x7F
               : n == 0 || (lead == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0);
    if (control) {
      out.push_back('?');
    } else {
      out.append(text.substr(0, n));
    }
    text.remove_prefix(n ? n : 1);
  }
  return out;
}

std::optional<int> DeviceStatus::wholeNumber(const std::string* text, int low, int high) {
  if (!text) return std::nullopt;
  std::string_view rest = *text;
  const bool negative = low < 0 && !rest.empty() && rest.front() == '-';
  if (negative) rest.remove_prefix(1);
  auto value = digits(rest);
  if (!value) return std::nullopt;
  if (negative) *value = -*value;
  if (*value < low || *value > high) return std::nullopt;
  return value;
}

std::optional<int> DeviceStatus::temperature(const DeviceEntry& entry) {
  if (!trusted(entry)) return std::nullopt;
  return wholeNumber(entry.field("BatteryTemperature"), kMinTemperature, kMaxTemperature);
}

std::optional<bool> DeviceStatus::flag(const std::string* value) {
  if (!value) return std::nullopt;
  if (*value == "1" || *value == "true" || *value == "YES" || *value == "yes") return true;
  if (*value == "0" || *value == "false" || *value == "NO" || *value == "no") return false;
  return std::nullopt;
}

std::optional<int> DeviceStatus::batteryLevel(const std::string* level) {
  const auto value = count(level);
  if (!value) return std::nullopt;
  return std::min(*value, 100);
}

std::string DeviceStatus::name(const DeviceEntry& entry) {
  const std::string* name = entry.field("name");
  return displayText(name && !name->empty() ? *name : entry.key);
}

bool DeviceStatus::trusted(const DeviceEntry& entry) {
  return flag(entry.field("Trusted")).value_or(true);
}

std::optional<int> DeviceStatus::battery(const DeviceEntry& entry) {
  return trusted(entry) ? batteryLevel(entry.field("Battery")) : std::nullopt;
}

bool DeviceStatus::charging(const DeviceEntry& entry) {
  return trusted(entry) && flag(entry.field("Charging")).value_or(false);
}

bool DeviceStatus::attached(const DeviceEntry& entry) {
  return flag(entry.field("Host Attached")).value_or(false);
}

std::string DeviceStatus::batteryText(const DeviceEntry& entry) {
  if (!trusted(entry)) return "Unlock and trust this computer";
  const auto level = battery(entry);
  return level ? std::to_string(*level) + "%" : "Battery unknown";
}

std::string DeviceStatus::attachedText(const DeviceEntry& entry) {
  return attached(entry) ? "Attached by USB" : "Not attached";
}

std::string DeviceStatus::summary(const DeviceEntry& entry) {
  std::string out = batteryText(entry);
  for (auto part : powerParts(entry)) {
    // Each part starts with an ASCII letter or digit.
    part[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(part[0])));
    out += ", " + part;
  }
  return out + (attached(entry) ? ", attached by USB" : ", not attached");
}

std::vector<std::string> DeviceStatus::powerParts(const DeviceEntry& entry) {
  std::vector<std::string> parts;
  if (!trusted(entry)) return parts;
  const auto chargerWatts = wholeNumber(entry.field("ChargerWatts"), 1, kMaxWatts);
  const auto chargingWatts = wholeNumber(entry.field("ChargingWatts"), 1, kMaxWatts);
  const auto wireless = flag(entry.field("ChargerWireless"));
  const auto degrees = temperature(entry);
  // Without the charger keys, ExternalConnected alone keeps today's wording.
  const bool onCharger = chargerWatts || wireless || entry.field("ChargerName");
  if (charging(entry)) {
    const bool slow =
        chargerWatts && *chargerWatts <= kSlowChargerWatts && !wireless.value_or(false);
    std::string state = slow ? "Charging slowly" : "Charging";
    if (chargingWatts) state += " at " + std::to_string(*chargingWatts) + " W";
    parts.push_back(state);
  } else if (onCharger) {
    const bool full = flag(entry.field("FullyCharged")).value_or(battery(entry) == 100);
    parts.push_back(full ? "Fully charged" : "Not charging");
  }
  if (chargerWatts) {
    parts.push_back(std::to_string(*chargerWatts) + " W " +
                    (wireless.value_or(false) ? "wireless charger" : "charger"));
  }
  if (degrees) parts.push_back(std::to_string(*degrees) + " \u00b0C");
  return parts;
}

std::string DeviceStatus::powerText(const DeviceEntry& entry) {
  const auto parts = powerParts(entry);
  if (parts.size() == 1 && parts[0] == "Charging") return "";
  std::string out;
  for (const auto& part : parts) out += (out.empty() ? "" : " \u00b7 ") + part;
  return out;
}

std::string DeviceStatus::healthText(const DeviceEntry& entry) {
  const auto cycles = count(entry.field("BatteryCycleCount"));
  const auto capacity = count(entry.field("BatteryMaxCapacity"));
  std::string out;
  if (cycles) out = std::to_string(*cycles) + (*cycles == 1 ? " cycle" : " cycles");
  if (cycles && capacity) out += ", ";
  if (capacity) out += std::to_string(*capacity) + "% of design capacity";
  return out;
}

}  // namespace nuvclient
