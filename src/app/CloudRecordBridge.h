#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace nuv {

class TodoFetcher;

// Writes a device's battery level and charging state into its cloud record:
// the first todo of the store's list whose record "Name" equals the entry's
// "name" (exactly, case-sensitively) gets "Battery" (integer) and "state"
// (boolean number) and is handed to the store to be saved. Never creates or
// deletes records.
//
// Thread-safe: it walks the list the store hands out, which is never changed
// in place, and the store takes the record's content at the call.
class CloudRecordBridge {
 public:
  static constexpr const char* kEntryNameKey = "name";
  static constexpr const char* kEntryBatteryKey = "Battery";
  static constexpr const char* kEntryChargingKey = "Charging";
  static constexpr const char* kRecordNameKey = "Name";
  static constexpr const char* kRecordBatteryKey = "Battery";
  static constexpr const char* kRecordStateKey = "state";

  // Returns true when a record was found and handed to the store.
  static bool updateRecord(const std::map<std::string, std::string>& entry, TodoFetcher& fetcher);

  // Whether updateRecord would find another record or write other values for
  // `after` than for `before`: they differ in "name", "Battery" or
  // "Charging" (a key present in one only counts as a difference).
  static bool recordFieldsDiffer(const std::map<std::string, std::string>& before,
                                 const std::map<std::string, std::string>& after);

  // After leading whitespace, an optional sign and any zeros: true when the
  // next character is Y, y, T, t or a digit 1-9; false otherwise and for a
  // missing value.
  static bool boolValue(std::optional<std::string_view> text);
};

}  // namespace nuv
