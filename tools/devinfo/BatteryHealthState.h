#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "DeviceFactsSource.h"

namespace nuv {

// When the probe last asked a device for its battery health, and the last
// values it got: the health is read at most once a day per device and
// printed from here on every run in between.
struct BatteryHealthRecord {
  std::int64_t askedAt = 0;  // seconds since the Unix epoch
  BatteryHealth health;
  bool operator==(const BatteryHealthRecord&) const = default;
};
using BatteryHealthRecords = std::map<std::string, BatteryHealthRecord>;  // by UDID

// The records in the file `battery-health` beside RotationState's, one line
// per device after a header: "<UDID> <asked at> <cycle count> <max capacity>",
// the UDID escaped as in the rotation file, a missing value as "-". Changes
// are made under the folder's lock and written whole (DurableFile, 0600). A
// missing, unreadable or corrupt file reads as "never asked".
class BatteryHealthState {
 public:
  static constexpr const char* kFileName = "battery-health";
  static constexpr std::int64_t kAskInterval = 24 * 60 * 60;

  // "" keeps no state: load() is empty and update() writes nothing.
  explicit BatteryHealthState(std::string directory);

  BatteryHealthRecords load() const;

  // Replaces the records with change(current records) under the lock. False
  // when nothing was written (see RotationState::update).
  bool update(const std::function<BatteryHealthRecords(BatteryHealthRecords)>& change);

  // Whether a device with this record (none: never asked) is to be asked at
  // `now`: a day or more after the last time, or when the clock has been set
  // back before it.
  static bool due(const BatteryHealthRecord* record, std::int64_t now);

 private:
  std::string directory_;
};

}  // namespace nuv
