#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "client/StackPayload.h"
#include "platform/Date.h"

namespace nuvbridge {

// One device of the module's map as the bridge's outputs need it: each value
// typed, and absent when the device has not reported it or reported a text
// that is not what the key promises (the map comes from another process, so
// "Battery" may hold anything). Texts (the key, name, ProductType) are kept
// as they came, invalid UTF-8 included: each output escapes them its own way.
struct DeviceFacts {
  std::string udid;  // the map key, the device's "Bonjour" value
  std::optional<std::string> name;
  std::optional<std::string> productType;
  std::optional<bool> attached;  // "Host Attached": USB (true) or network
  std::optional<bool> trusted;
  std::optional<int> battery;  // percent, 0 to 100 (as DeviceStatus reads it)
  std::optional<bool> charging;
  std::optional<bool> externalPower;
  std::optional<bool> fullyCharged;
  std::optional<long> cycleCount;
  std::optional<long> maxCapacity;  // percent of the design capacity
  std::optional<long> temperature;  // whole degrees Celsius
  std::optional<long> chargerWatts;
  std::optional<nuv::Date> lastChange;  // the entry's last "timestamp"

  static DeviceFacts fromEntry(const nuvclient::DeviceEntry& entry);
  friend bool operator==(const DeviceFacts&, const DeviceFacts&) = default;
};

}  // namespace nuvbridge
