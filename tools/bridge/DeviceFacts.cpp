#include "DeviceFacts.h"

#include "client/DeviceStatus.h"

namespace nuvbridge {

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
  using nuvclient::DeviceStatus;
  constexpr int kAnyCount = 999'999'999;
  facts.cycleCount = DeviceStatus::wholeNumber(entry.field("BatteryCycleCount"), 0, kAnyCount);
  facts.maxCapacity = DeviceStatus::wholeNumber(entry.field("BatteryMaxCapacity"), 0, kAnyCount);
  facts.temperature =
      DeviceStatus::wholeNumber(entry.field("BatteryTemperature"), DeviceStatus::kMinTemperature,
                                DeviceStatus::kMaxTemperature);
  facts.chargerWatts =
      DeviceStatus::wholeNumber(entry.field("ChargerWatts"), 0, DeviceStatus::kMaxWatts);
  facts.lastChange = entry.timestamp;
  return facts;
}

}  // namespace nuvbridge
