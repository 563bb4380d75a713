#pragma once

#include <optional>
#include <string>

namespace nuvdevices {

// What kind of device a row shows, from the probe's "ProductType".
enum class DeviceKind { Phone, Tablet, Player, Other };

// One device as the window shows it: plain values, no widgets. Every text is
// plain text (never markup) and safe to show as it is.
struct DeviceRow {
  std::string key;   // the map key, the device's "Bonjour" value
  std::string name;  // "name", or the key when the device has none
  DeviceKind kind = DeviceKind::Other;
  // Trusted = the device lets this computer read it ("Trusted" is not "0").
  bool trusted = true;
  // 0..100 when the device reports a readable level; none otherwise.
  std::optional<int> batteryPercent;
  // "85%", "Battery unknown", or for an untrusted device the hint
  // "Unlock and trust this computer".
  std::string batteryText;
  bool charging = false;  // false when the device does not say it is
  // "Charging at 12 W · 20 W charger · 31 °C", the parts that are known;
  // "" when they say no more than `charging`.
  std::string powerText;
  bool attached = false;  // "Host Attached" is 1: connected by USB
  std::string attachedText;
  std::string ageText;  // "changed just now", "changed 2 min ago", ...
  // The whole row in one sentence, for screen readers and tooltips.
  std::string summary;

  friend bool operator==(const DeviceRow&, const DeviceRow&) = default;
};

}  // namespace nuvdevices
