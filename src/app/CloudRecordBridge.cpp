#include "app/CloudRecordBridge.h"

#include <limits>

#include "cloud/TodoFetcher.h"
#include "platform/Numbers.h"

namespace nuv {
namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::optional<std::string_view> lookup(const std::map<std::string, std::string>& entry,
                                       const char* key) {
  auto it = entry.find(key);
  if (it == entry.end()) return std::nullopt;
  return std::string_view(it->second);
}

}  // namespace

bool CloudRecordBridge::boolValue(std::optional<std::string_view> text) {
  if (!text) return false;
  std::size_t i = 0;
  const std::string_view s = *text;
  while (i < s.size() && isSpace(s[i])) ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  while (i < s.size() && s[i] == '0') ++i;
  if (i == s.size()) return false;
  const char c = s[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

bool CloudRecordBridge::recordFieldsDiffer(const std::map<std::string, std::string>& before,
                                           const std::map<std::string, std::string>& after) {
  for (const char* key : {kEntryNameKey, kEntryBatteryKey, kEntryChargingKey}) {
    if (lookup(before, key) != lookup(after, key)) return true;
  }
  return false;
}

bool CloudRecordBridge::updateRecord(const std::map<std::string, std::string>& entry,
                                     TodoFetcher& fetcher) {
  const auto name = lookup(entry, kEntryNameKey);
  if (!name) return false;
  // Our own reference: the store may store a new list meanwhile.
  const auto todos = fetcher.todos();
  if (!todos) return false;
  for (const auto& todo : *todos) {
    if (!todo || !todo->record()) continue;
    const CloudRecordRef& record = todo->record();
    if (!record->hasStringValue(kRecordNameKey, *name)) continue;
    record->setObjectForKey(
        kRecordBatteryKey,
        std::int64_t{saturatedInt32(lookup(entry, kEntryBatteryKey).value_or(""))});
    record->setObjectForKey(kRecordStateKey,
                            CloudBool{boolValue(lookup(entry, kEntryChargingKey))});
    fetcher.updateRecord(record);
    return true;
  }
  return false;
}

}  // namespace nuv
