#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <optional>

#include "DeviceFactsSource.h"

namespace nuv {

// The battery's entry in the device's I/O registry, as its diagnostics
// service returns it: the answer's "Diagnostics" dictionary, which holds the
// entry's properties under "IORegistry".
//
// Keys used: "CycleCount"; the full-charge capacity from
// "NominalChargeCapacity" (the filtered value the device itself shows as
// maximum capacity), else "AppleRawMaxCapacity" (the raw gauge reading); the
// design capacity from "DesignCapacity". Where a key is missing at the top
// the copy in "BatteryData" stands in. "MaxCapacity" is not used: newer
// systems give it in percent of the current full charge, older ones in mAh.
class BatteryRegistryEntry {
 public:
  // The names by which the probe asks for the entry: by name first, then by
  // class for devices whose gauge has another name.
  static constexpr const char* kEntryName = "AppleSmartBattery";
  static constexpr const char* kEntryClass = "IOPMPowerSource";

  // None when the answer holds neither value.
  static std::optional<BatteryHealth> health(plist_t diagnostics);

  // `full` in percent of `design`, rounded half up; none for a design
  // capacity of zero or less, a negative or absurd full-charge capacity.
  static std::optional<std::int64_t> percentOf(std::int64_t full, std::int64_t design);
};

}  // namespace nuv
