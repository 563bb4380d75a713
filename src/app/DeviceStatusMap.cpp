#include "app/DeviceStatusMap.h"

namespace nuv {

Dictionary toDictionary(const DeviceEntry& entry) {
  Dictionary d;
  for (const auto& [k, v] : entry.pairs) d.emplace(k, Value(v));
  if (entry.timestamp) d.insert_or_assign(kTimestampKey, Value(*entry.timestamp));
  return d;
}

Dictionary toDictionary(const DeviceStatusMap& map) {
  Dictionary d;
  for (const auto& [bonjour, entry] : map) d.emplace(bonjour, Value(toDictionary(entry)));
  return d;
}

DeviceStatusMap deviceStatusMapFromDictionary(const Dictionary& dict) {
  DeviceStatusMap map;
  for (const auto& [key, value] : dict) {
    const auto* fields = value.get<Dictionary>();
    if (!fields) continue;
    DeviceEntry entry;
    for (const auto& [k, v] : *fields) {
      if (k == kTimestampKey) {
        if (const auto* date = v.get<Date>()) entry.timestamp = *date;
      } else if (const auto* s = v.get<std::string>()) {
        entry.pairs.emplace(k, *s);
      }
    }
    auto bonjour = entry.pairs.find(kBonjourKey);
    if (bonjour == entry.pairs.end() || bonjour->second != key) continue;
    map.emplace(key, std::move(entry));
  }
  return map;
}

}  // namespace nuv
