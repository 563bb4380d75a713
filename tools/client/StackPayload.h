#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Date.h"
#include "platform/Value.h"

typedef struct _GVariant GVariant;

namespace nuvclient {

// One device of the module's status map: its string pairs and, when the last
// probe run changed it, the moment of that change.
struct DeviceEntry {
  std::string key;  // the map key, the device's "Bonjour" value
  std::map<std::string, std::string> fields;
  std::optional<nuv::Date> timestamp;

  const std::string* field(const std::string& name) const {
    auto it = fields.find(name);
    return it == fields.end() ? nullptr : &it->second;
  }
};

// The "iOSStack" broadcast, decoded strictly. The sender is another process
// on the bus, so nothing about the payload is assumed: a map whose entries
// are not dictionaries of strings (plus a date under "timestamp") is refused
// with a readable reason.
class StackPayload {
 public:
  std::vector<DeviceEntry> devices;  // ordered by key

  static std::optional<StackPayload> fromUserInfo(const nuv::Dictionary& userInfo,
                                                  std::string* error);
  // `body` is the whole signal body, expected (ssa{sv}).
  static std::optional<StackPayload> fromSignalBody(GVariant* body, std::string* error);
  // The host service's Devices property, expected a{sa{sv}}.
  static std::optional<StackPayload> fromDevices(GVariant* devices, std::string* error);
};

}  // namespace nuvclient
