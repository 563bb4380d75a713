#pragma once

#include <map>
#include <string>
#include <vector>

#include "DeviceFacts.h"

namespace nuvbridge {

// The devices as the bridge shows them: the module's newest map, ordered by
// key. The module drops "timestamp" from an entry that a later probe run
// found unchanged, so the table keeps the last one it saw per device (for as
// long as the device stays in the maps, across a restart of the module too).
class DeviceTable {
 public:
  void update(const nuvclient::StackPayload& map);
  // The module has gone: nothing is known about the devices until it is back.
  void clear() { devices_.clear(); }
  const std::vector<DeviceFacts>& devices() const { return devices_; }

 private:
  std::vector<DeviceFacts> devices_;
  std::map<std::string, nuv::Date> lastChange_;
};

}  // namespace nuvbridge
