#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "DeviceFactsSource.h"

namespace nuv {

// The battery's entry in the device's I/O registry, as its diagnostics
// service returns it: the answer's "Diagnostics" dictionary, which holds the
// entry's properties under "IORegistry". Entries differ by model and system
// version; every value is checked against what a battery can show, and one
// outside it is left out rather than passed on.
//
// Capacities: the full-charge capacity from "NominalChargeCapacity" (the
// filtered value the device itself shows as maximum capacity), else
// "AppleRawMaxCapacity" (the raw gauge reading); the design capacity from
// "DesignCapacity". Where a key is missing at the top the copy in
// "BatteryData" stands in. "MaxCapacity" and "CurrentCapacity" are not used:
// newer systems give them in percent, older ones in mAh.
class BatteryRegistryEntry {
 public:
  // The names by which the probe asks for the entry: by name first, then by
  // class for devices whose gauge has another name.
  static constexpr const char* kEntryName = "AppleSmartBattery";
  static constexpr const char* kEntryClass = "IOPMPowerSource";

  // Beyond these a reading comes from garbage or another unit.
  static constexpr std::int64_t kMaxCapacityMah = 100'000;
  static constexpr std::int64_t kMaxWatts = 1'000;
  static constexpr std::int64_t kMinCentidegrees = -4'000, kMaxCentidegrees = 10'000;
  static constexpr std::size_t kMaxChargerNameBytes = 64;

  // Cycle count and maximum capacity; none when the answer holds neither.
  static std::optional<BatteryHealth> health(plist_t diagnostics);

  // Temperature ("Temperature", hundredths of a degree), capacities, the
  // charger ("AdapterDetails": "Watts", "Description", "IsWireless"; only
  // while the entry's "ExternalConnected" is true) and the power going into
  // the battery ("Voltage" in mV times "InstantAmperage" in mA, only while
  // that current is positive: a device may report charging while a weak port
  // cannot keep up and the current is negative). Integers are read as signed.
  // None when the answer holds none of them.
  static std::optional<BatteryReading> reading(plist_t diagnostics);

  // The charger's name as given, when it is not empty, at most
  // kMaxChargerNameBytes long and free of control characters; a name that
  // fails is left out, never cleaned up.
  static std::optional<std::string> chargerName(std::string_view name);

  // `full` in percent of `design`, rounded half up; none for a design
  // capacity of zero or less, a negative or absurd full-charge capacity.
  static std::optional<std::int64_t> percentOf(std::int64_t full, std::int64_t design);
};

}  // namespace nuv
