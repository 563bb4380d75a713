#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>

#include "platform/Date.h"

namespace nuv {

// A boolean stored as a number: reads as 0/1 wherever a number is expected.
// Kept apart from the 64-bit integer so that a record remembers which kind a
// field was written as (a backend without a boolean type stores 0 or 1).
struct CloudBool {
  bool value = false;
  friend bool operator==(const CloudBool&, const CloudBool&) = default;
};

// The typed value of one record field.
using CloudFieldValue = std::variant<std::string, std::int64_t, CloudBool, Date>;
using CloudFields = std::map<std::string, CloudFieldValue>;

// Numeric reading of a field: integers as they are, booleans as 0/1; absent
// for strings and dates.
std::optional<std::int64_t> cloudNumberValue(const CloudFieldValue& value);
// Boolean reading of a field: a number other than 0 is true; strings and
// dates are false.
bool cloudBoolValue(const CloudFieldValue& value);

inline constexpr const char* kCloudDefaultZoneName = "_defaultZone";

// Identity of a record: its record name within a zone.
struct CloudRecordID {
  std::string recordName;
  std::string zoneName = kCloudDefaultZoneName;

  friend bool operator==(const CloudRecordID&, const CloudRecordID&) = default;
  friend auto operator<=>(const CloudRecordID&, const CloudRecordID&) = default;
};

// Everything a record holds, as a plain value. Backends read and write this;
// the record object below wraps it for shared, thread-safe use.
struct CloudRecordData {
  std::string recordType;
  CloudRecordID recordID;
  CloudFields fields;
  // Set by the store when the record is saved; absent on a record that was
  // never saved.
  std::optional<Date> creationDate;
  std::optional<Date> modificationDate;
  // The store's version marker of the saved record; absent before the first
  // save. Changes with every write.
  std::optional<std::string> recordChangeTag;
  // Keys set since the record was made or read from the store: what a
  // "changed keys" save sends.
  std::set<std::string> changedKeys;

  friend bool operator==(const CloudRecordData&, const CloudRecordData&) = default;
};

class CloudRecord;
using CloudRecordRef = std::shared_ptr<CloudRecord>;

// A cloud record shared by reference: the record store's list, the todo that
// wraps it and the code that writes battery data into it all see one object.
//
// Thread-safe: every accessor locks the record, because its fields are written
// on one thread (a device update) while a backend snapshots it on another.
// Equality compares the whole content (type, ID, fields, dates, change tag);
// the hash uses only the record ID, which never changes.
class CloudRecord {
 public:
  // A new, never-saved record with a fresh, unique record name in the default
  // zone.
  explicit CloudRecord(std::string recordType);
  CloudRecord(std::string recordType, CloudRecordID recordID);
  // A record as a backend read or saved it: changed keys as given in `data`.
  explicit CloudRecord(CloudRecordData data);

  CloudRecord(const CloudRecord&) = delete;
  CloudRecord& operator=(const CloudRecord&) = delete;

  std::string recordType() const;
  CloudRecordID recordID() const;
  std::optional<Date> creationDate() const;
  std::optional<Date> modificationDate() const;
  std::optional<std::string> recordChangeTag() const;

  // Field access by key. Setting absent removes the field; either way the key
  // counts as changed.
  std::optional<CloudFieldValue> objectForKey(const std::string& key) const;
  void setObjectForKey(const std::string& key, std::optional<CloudFieldValue> value);
  // True when the field is a string equal to `value`; reads without copying.
  bool hasStringValue(const std::string& key, std::string_view value) const;
  std::set<std::string> allKeys() const;
  std::set<std::string> changedKeys() const;

  // A new record object with the same content (changed keys included).
  CloudRecordRef copy() const;
  // The whole content at one instant.
  CloudRecordData snapshot() const;

  bool isEqual(const CloudRecord& other) const;
  std::size_t hash() const;

  // A fresh record name in the form the cloud service uses (an upper-case
  // UUID). Thread-safe.
  static std::string makeRecordName();

 private:
  mutable std::mutex mutex_;
  CloudRecordData data_;
};

}  // namespace nuv
