#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
  // A whole decimal number within [low, high]: at most nine digits, led by a
  // minus sign only when `low` is negative; none for anything else (a plus
  // sign, spaces, a unit).
  static std::optional<int> wholeNumber(const std::string* text, int low, int high);
  // A trusted device's "BatteryTemperature" within the probe's bounds.
  static std::optional<int> temperature(const DeviceEntry& entry);

  // What a battery can show; the probe leaves out anything beyond.
  static constexpr int kMinTemperature = -40;  // °C
  static constexpr int kMaxTemperature = 100;  // °C
  static constexpr int kMaxWatts = 1000;
  static constexpr int kMaxCapacityMah = 100000;

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

  // A percentage as the locale writes it: "85%".
  static std::string percentText(int percent);
  // "85%", "Battery unknown", or for an untrusted device the hint "Unlock
  // and trust this computer".
  static std::string batteryText(const DeviceEntry& entry);
  // "Attached by USB" or "Not attached".
  static std::string attachedText(const DeviceEntry& entry);
  // The status in one phrase: "85%, charging at 12 W, 20 W charger, 31 °C,
  // attached by USB" (the power parts as powerParts gives them).
  static std::string summary(const DeviceEntry& entry);

  // What a trusted device says of its power, in the order shown, each part
  // only when known:
  //   - the charging state: "Charging at 12 W" (ChargingWatts, else
  //     "Charging"), "Charging slowly" (or "Charging slowly at 2 W") when a
  //     wired charger (ChargerWireless not 1) offers 5 W or less; on a
  //     charger without charging, "Fully charged" (FullyCharged, else at
  //     100 %) or "Not charging"; nothing off a charger, which the probe
  //     tells by leaving every Charger key out;
  //   - the charger: "20 W charger", "7 W wireless charger";
  //   - the battery's temperature: "31 °C".
  // None for an untrusted device. Values that do not read as numbers in the
  // probe's bounds count as missing.
  static std::vector<std::string> powerParts(const DeviceEntry& entry);
  // The power parts joined by " · ": "Charging at 12 W · 20 W charger ·
  // 31 °C"; "" when they say no more than `charging` (a bare "Charging",
  // which a caller shows as it did before the power keys) or nothing.
  static std::string powerText(const DeviceEntry& entry);
  // "412 cycles, 87% of design capacity" from BatteryCycleCount and
  // BatteryMaxCapacity, either part alone when the other is missing or not a
  // number; "" without both.
  static std::string healthText(const DeviceEntry& entry);

  // Every text above is translated (gettext, the programs' text domain).

 private:
  enum class ChargeState { Unknown, Charging, ChargingSlowly, Full, NotCharging };
  struct Power;
  static Power powerOf(const DeviceEntry& entry);
  static std::string stateText(const Power& power, bool inSentence);
  static std::vector<std::string> detailTexts(const Power& power);
};

}  // namespace nuvclient
