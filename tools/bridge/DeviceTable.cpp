#include "DeviceTable.h"

namespace nuvbridge {

void DeviceTable::update(const nuvclient::StackPayload& map) {
  std::map<std::string, nuv::Date> seen;
  devices_.clear();
  devices_.reserve(map.devices.size());
  for (const auto& entry : map.devices) {
    DeviceFacts facts = DeviceFacts::fromEntry(entry);
    if (!facts.lastChange) {
      if (auto it = lastChange_.find(entry.key); it != lastChange_.end()) {
        facts.lastChange = it->second;
      }
    }
    if (facts.lastChange) seen.emplace(entry.key, *facts.lastChange);
    devices_.push_back(std::move(facts));
  }
  lastChange_ = std::move(seen);
}

}  // namespace nuvbridge
