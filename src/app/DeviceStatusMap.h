#pragma once

#include <map>
#include <optional>
#include <string>

#include "app/ProbeOutputParser.h"
#include "platform/Date.h"
#include "platform/Value.h"

namespace nuv {

// One device's entry: the pairs of the probe run that created or last changed
// it, plus the moment of that run. "timestamp" is kept apart from the pairs so
// that it can never take part in change detection.
struct DeviceEntry {
  ProbeOutput pairs;
  std::optional<Date> timestamp;

  friend bool operator==(const DeviceEntry&, const DeviceEntry&) = default;
};

// Keyed by the device's "Bonjour" value; every entry's "Bonjour" equals its key.
using DeviceStatusMap = std::map<std::string, DeviceEntry>;

inline constexpr const char* kBonjourKey = "Bonjour";
inline constexpr const char* kNameKey = "name";
inline constexpr const char* kHostAttachedKey = "Host Attached";
inline constexpr const char* kTimestampKey = "timestamp";

// The map as it travels: each entry a dictionary of strings plus "timestamp"
// as a date when the entry has one.
Dictionary toDictionary(const DeviceStatusMap& map);
Dictionary toDictionary(const DeviceEntry& entry);

// Reads a map written by toDictionary. Entries that are not dictionaries, or
// whose "Bonjour" does not equal their key, are dropped; values that are not
// strings are dropped. Never fails.
DeviceStatusMap deviceStatusMapFromDictionary(const Dictionary& dict);

}  // namespace nuv
