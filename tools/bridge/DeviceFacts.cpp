#include "DeviceFacts.h"

#include <algorithm>

#include "client/DeviceStatus.h"

namespace nuvbridge {

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

DeviceFacts DeviceFacts::fromEntry(const nuvclient::DeviceEntry& entry) {
  DeviceFacts facts;
  facts.udid = entry.key;
  if (const auto* name = entry.field("name")) facts.name = *name;
  if (const auto* type = entry.field("ProductType")) facts.productType = *type;
  facts.attached = nuvclient::DeviceStatus::flag(entry.field("Host Attached"));
  facts.trusted = nuvclient::DeviceStatus::flag(entry.field("Trusted"));
  facts.battery = nuvclient::DeviceStatus::batteryLevel(entry.field("Battery"));
  facts.charging = nuvclient::DeviceStatus::flag(entry.field("Charging"));
  facts.externalPower = nuvclient::DeviceStatus::flag(entry.field("ExternalConnected"));
  facts.fullyCharged = nuvclient::DeviceStatus::flag(entry.field("FullyCharged"));
  facts.cycleCount = number(entry.field("BatteryCycleCount"));
  facts.maxCapacity = number(entry.field("BatteryMaxCapacity"));
  facts.temperature = number(entry.field("BatteryTemperature"), true);
  facts.chargerWatts = number(entry.field("ChargerWatts"));
  facts.lastChange = entry.timestamp;
  return facts;
}

}  // namespace nuvbridge
