#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "StackPayload.h"

namespace nuvclient {

// How a device of the module's map is worded wherever a tool shows it: a
// terminal table, the devices window, an alert. Pure functions of the probe's
// texts, which come from another process and are never trusted: a value that
// does not read as expected counts as not reported.
class DeviceStatus {
 public:
  // Text from the bus made safe for a terminal or a one-line label: invalid
  // UTF-8 and control characters (escape sequences included) become '?'.
  static std::string displayText(std::string_view text);
  // A boolean text of the probe ("1"/"0", "true"/"false", "YES"/"NO",
  // "yes"/"no"); none for a missing value or any other text.
  static std::optional<bool> flag(const std::string* value);
  // The probe's "Battery" text as a percentage: decimal digits only, capped
  // at 100; none for a missing, signed or non-numeric value.
  static std::optional<int> batteryLevel(const std::string* level);

  // "name", or the key when the device has none; made safe by displayText.
  static std::string name(const DeviceEntry& entry);
  // Whether the device lets this computer read it ("Trusted" is not false).
  static bool trusted(const DeviceEntry& entry);
  // A trusted device's readable level; none otherwise.
  static std::optional<int> battery(const DeviceEntry& entry);
  // A trusted device that says it is charging.
  static bool charging(const DeviceEntry& entry);
  // "Host Attached" is true: connected by USB.
  static bool attached(const DeviceEntry& entry);

  // "85%", "Battery unknown", or for an untrusted device the hint "Unlock
  // and trust this computer".
  static std::string batteryText(const DeviceEntry& entry);
  // "Attached by USB" or "Not attached".
  static std::string attachedText(const DeviceEntry& entry);
  // The status in one phrase: "85%, charging, attached by USB".
  static std::string summary(const DeviceEntry& entry);
  // "412 cycles, 87% of design capacity" from BatteryCycleCount and
  // BatteryMaxCapacity, either part alone when the other is missing or not a
  // number; "" without both.
  static std::string healthText(const DeviceEntry& entry);
  // The same facts as labelled values, "Charge cycles: 412 · Maximum
  // capacity: 87%", each as the probe wrote it; "" when it has neither.
  static std::string healthLine(const DeviceEntry& entry);
};

}  // namespace nuvclient
