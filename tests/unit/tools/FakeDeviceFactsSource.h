#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "DeviceFactsSource.h"

namespace nuv::fake {

// Scripted devices: a listing, and per UDID+connection either facts or an
// error. Records which devices were read, in order.
class FakeDeviceFactsSource : public DeviceFactsSource {
 public:
  void add(DeviceCandidate device, DeviceFacts facts) {
    listing.push_back(device);
    facts_[key(device)] = std::move(facts);
  }
  void addUnreadable(DeviceCandidate device, std::string error) {
    listing.push_back(device);
    errors_[key(device)] = std::move(error);
  }

  std::vector<DeviceCandidate> listDevices() override { return listing; }

  std::optional<DeviceFacts> readFacts(const DeviceCandidate& device, std::string* error) override {
    read.push_back(device.udid);
    if (auto it = facts_.find(key(device)); it != facts_.end()) return it->second;
    if (error) *error = errors_.count(key(device)) ? errors_[key(device)] : "no such device";
    return std::nullopt;
  }

  std::vector<DeviceCandidate> listing;
  std::vector<std::string> read;

 private:
  static std::pair<std::string, DeviceConnection> key(const DeviceCandidate& d) {
    return {d.udid, d.connection};
  }
  std::map<std::pair<std::string, DeviceConnection>, DeviceFacts> facts_;
  std::map<std::pair<std::string, DeviceConnection>, std::string> errors_;
};

}  // namespace nuv::fake
