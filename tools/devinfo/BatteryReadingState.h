#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "DeviceFactsSource.h"

namespace nuv {

// When the probe last asked a device for its battery reading, and what it
// got: the reading is asked at most once a minute while external power is
// connected, at most once every 15 minutes otherwise, and printed from here
// on every run in between.
struct BatteryReadingRecord {
  std::int64_t askedAt = 0;  // seconds since the Unix epoch
  BatteryReading reading;
  bool operator==(const BatteryReadingRecord&) const = default;
};
using BatteryReadingRecords = std::map<std::string, BatteryReadingRecord>;  // by UDID

// The records in the file `battery-reading` beside BatteryHealthState's, one
// line per device after a header: "<UDID> <asked at>" and a "key=value" word
// per known value (t temperature, d design and f full-charge capacity, cw
// charger watts, cn charger name, cl wireless, pw charging watts), the UDID
// and the name escaped as in the rotation file. Changes are made under the
// folder's lock and written whole (DurableFile, 0600). A missing, unreadable
// or corrupt file reads as "never asked"; unknown keys are skipped.
class BatteryReadingState {
 public:
  static constexpr const char* kFileName = "battery-reading";
  static constexpr std::int64_t kOnPowerInterval = 60;
  static constexpr std::int64_t kOnBatteryInterval = 15 * 60;

  // "" keeps no state: load() is empty and update() writes nothing.
  explicit BatteryReadingState(std::string directory);

  BatteryReadingRecords load() const;

  // Replaces the records with change(current records) under the lock. False
  // when nothing was written (see RotationState::update).
  bool update(const std::function<BatteryReadingRecords(BatteryReadingRecords)>& change);

  // Whether a device with this record (none: never asked) is to be asked at
  // `now`, on external power or not: kOnPowerInterval or kOnBatteryInterval
  // or more after the last time, or when the clock has been set back before it.
  static bool due(const BatteryReadingRecord* record, std::int64_t now, bool externalPower);

 private:
  std::string directory_;
};

}  // namespace nuv
