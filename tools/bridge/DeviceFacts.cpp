#include "DeviceFacts.h"

#include <algorithm>

namespace nuvbridge {

std::optional<bool> DeviceFacts::flag(const std::string* text) {
  if (!text) return std::nullopt;
  if (*text == "1" || *text == "true") return true;
  if (*text == "0" || *text == "false") return false;
  return std::nullopt;
}

std::optional<long> DeviceFacts::number(const std::string* text, bool negative) {
  if (!text) return std::nullopt;
  std::string_view digits = *text;
  const bool minus = negative && !digits.empty() && digits.front() == '-';
  if (minus) digits.remove_prefix(1);
  if (digits.empty() || digits.size() > 9 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  long value = 0;
  for (char c : digits) value = value * 10 + (c - '0');
  return minus ? -value : value;
}

DeviceFacts DeviceFacts::fromEntry(const nuvctl::DeviceEntry& entry) {
  DeviceFacts facts;
  facts.udid = entry.key;
  if (const auto* name = entry.field("name")) facts.name = *name;
  if (const auto* type = entry.field("ProductType")) facts.productType = *type;
  facts.attached = flag(entry.field("Host Attached"));
  facts.trusted = flag(entry.field("Trusted"));
  if (const auto level = number(entry.field("Battery")); level && *level <= 100) {
    facts.battery = static_cast<int>(*level);
  }
  facts.charging = flag(entry.field("Charging"));
  facts.externalPower = flag(entry.field("ExternalConnected"));
  facts.fullyCharged = flag(entry.field("FullyCharged"));
  facts.cycleCount = number(entry.field("BatteryCycleCount"));
  facts.maxCapacity = number(entry.field("BatteryMaxCapacity"));
  facts.temperature = number(entry.field("BatteryTemperature"), true);
  facts.chargerWatts = number(entry.field("ChargerWatts"));
  facts.lastChange = entry.timestamp;
  return facts;
}

}  // namespace nuvbridge
