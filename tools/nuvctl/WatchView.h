#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "client/StackPayload.h"

namespace nuvctl {

// What `nuvctl watch` and `nuvctl status` show: one JSON line per map (read
// or broadcast), or a table that is redrawn as maps arrive and time passes.
//
// The module drops "timestamp" from an entry that a later probe run found
// unchanged, so the table remembers the last change it saw per device and
// keeps showing its age.
class WatchView {
 public:
  // One line, without the newline: {"received": ISO date, "devices": {key:
  // {pairs..., "timestamp": ISO date}}}. Always valid JSON.
  static std::string jsonLine(const StackPayload& payload, nuv::Date received);

  void update(const StackPayload& payload, nuv::Date received);
  std::string table(nuv::Date now) const;

  // Text from the bus made safe for a terminal: invalid UTF-8 and control
  // characters (escape sequences included) become '?'.
  static std::string displayText(std::string_view text);
  // The wall clock, as the module stamps its entries.
  static nuv::Date now();
  // "12s", "3m 05s", "2h 07m", "4d 03h"; negative ages count as 0.
  static std::string age(std::int64_t seconds);
  // "[########  ]  87%" for "87"; "-" for a missing or non-numeric level.
  static std::string batteryCell(const std::string* level);
  // The probe's "Battery" text as a percentage: decimal digits only, capped
  // at 100; none for a missing, signed or non-numeric value.
  static std::optional<int> batteryLevel(const std::string* level);
  // "412 cycles, 87% of design capacity" from the probe's BatteryCycleCount
  // and BatteryMaxCapacity, either part alone when the other is missing or
  // not a number; "" without both.
  static std::string healthText(const std::string* cycleCount, const std::string* maxCapacity);
  // A boolean text of the probe ("1"/"0", "true"/"false", "YES"/"NO",
  // "yes"/"no"); none for a missing value or any other text.
  static std::optional<bool> flag(const std::string* value);

 private:
  StackPayload last_;
  std::map<std::string, nuv::Date> lastChange_;
  std::optional<nuv::Date> lastReceived_;
};

}  // namespace nuvctl
