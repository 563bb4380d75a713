#include "platform/cloud/CloudRecord.h"

#include <cstdio>
#include <functional>
#include <random>

namespace nuv {

std::optional<std::int64_t> cloudNumberValue(const CloudFieldValue& value) {
  if (const auto* i = std::get_if<std::int64_t>(&value)) return *i;
  if (const auto* b = std::get_if<CloudBool>(&value)) return b->value ? 1 : 0;
  return std::nullopt;
}

bool cloudBoolValue(const CloudFieldValue& value) {
  auto n = cloudNumberValue(value);
  return n && *n != 0;
}

CloudRecord::CloudRecord(std::string recordType)
    : CloudRecord(std::move(recordType), CloudRecordID{makeRecordName()}) {}

CloudRecord::CloudRecord(std::string recordType, CloudRecordID recordID) {
  data_.recordType = std::move(recordType);
  data_.recordID = std::move(recordID);
}

CloudRecord::CloudRecord(CloudRecordData data) : data_(std::move(data)) {}

std::string CloudRecord::recordType() const {
  std::lock_guard lock(mutex_);
  return data_.recordType;
}

CloudRecordID CloudRecord::recordID() const {
  std::lock_guard lock(mutex_);
  return data_.recordID;
}

std::optional<Date> CloudRecord::creationDate() const {
  std::lock_guard lock(mutex_);
  return data_.creationDate;
}

std::optional<Date> CloudRecord::modificationDate() const {
  std::lock_guard lock(mutex_);
  return data_.modificationDate;
}

std::optional<std::string> CloudRecord::recordChangeTag() const {
  std::lock_guard lock(mutex_);
  return data_.recordChangeTag;
}

std::optional<CloudFieldValue> CloudRecord::objectForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  auto it = data_.fields.find(key);
  if (it == data_.fields.end()) return std::nullopt;
  return it->second;
}

void CloudRecord::setObjectForKey(const std::string& key, std::optional<CloudFieldValue> value) {
  std::lock_guard lock(mutex_);
  if (value) {
    data_.fields.insert_or_assign(key, std::move(*value));
  } else {
    data_.fields.erase(key);
  }
  data_.changedKeys.insert(key);
}

bool CloudRecord::hasStringValue(const std::string& key, std::string_view value) const {
  std::lock_guard lock(mutex_);
  auto it = data_.fields.find(key);
  if (it == data_.fields.end()) return false;
  const auto* s = std::get_if<std::string>(&it->second);
  return s && *s == value;
}

std::set<std::string> CloudRecord::allKeys() const {
  std::lock_guard lock(mutex_);
  std::set<std::string> keys;
  for (const auto& [key, value] : data_.fields) keys.insert(key);
  return keys;
}

std::set<std::string> CloudRecord::changedKeys() const {
  std::lock_guard lock(mutex_);
  return data_.changedKeys;
}

CloudRecordRef CloudRecord::copy() const { return std::make_shared<CloudRecord>(snapshot()); }

CloudRecordData CloudRecord::snapshot() const {
  std::lock_guard lock(mutex_);
  return data_;
}

bool CloudRecord::isEqual(const CloudRecord& other) const {
  if (this == &other) return true;
  std::scoped_lock lock(mutex_, other.mutex_);
  const auto& a = data_;
  const auto& b = other.data_;
  // Changed keys are bookkeeping of pending writes, not content.
  return a.recordType == b.recordType && a.recordID == b.recordID && a.fields == b.fields &&
         a.creationDate == b.creationDate && a.modificationDate == b.modificationDate &&
         a.recordChangeTag == b.recordChangeTag;
}

std::size_t CloudRecord::hash() const {
  std::lock_guard lock(mutex_);
  const std::size_t h = std::hash<std::string>{}(data_.recordID.recordName);
  return h ^ (std::hash<std::string>{}(data_.recordID.zoneName) + 0x9e3779b97f4a7c15ULL + (h << 6) +
              (h >> 2));
}

std::string CloudRecord::makeRecordName() {
  thread_local std::mt19937_64 engine{std::random_device{}()};
  const std::uint64_t hi = engine();
  const std::uint64_t lo = engine();
  // Version 4, variant 1 UUID.
  const std::uint64_t a = (hi & 0xFFFFFFFFFFFF0FFFULL) | 0x0000000000004000ULL;
  const std::uint64_t b = (lo & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;
  char text[37];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(a >> 32),
                static_cast<unsigned>((a >> 16) & 0xFFFF), static_cast<unsigned>(a & 0xFFFF),
                static_cast<unsigned>(b >> 48),
                static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFULL));
  return text;
}

}  // namespace nuv
