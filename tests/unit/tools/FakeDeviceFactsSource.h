#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "DeviceFactsSource.h"

namespace nuv::fake {

// Scripted devices, each with its facts or the error reading them gives.
// Records which devices were read, in order, and which had their relay
// asked. A device's health and reading are given only when the gate lets it.
class FakeDeviceFactsSource : public DeviceFactsSource {
 public:
  void add(DeviceCandidate device, std::variant<DeviceFacts, std::string> result) {
    devices_.emplace_back(std::move(device), std::move(result));
  }

  void remove(const std::string& udid) {
    std::erase_if(devices_, [&](const auto& d) { return d.first.udid == udid; });
  }

  std::optional<std::vector<DeviceCandidate>> listDevices(std::string*) override {
    std::vector<DeviceCandidate> listing;
    for (const auto& d : devices_) listing.push_back(d.first);
    return listing;
  }

  std::optional<DeviceFacts> readFacts(const DeviceCandidate& device, const RelayGate& askRelay,
                                       std::string* error) override {
    read.push_back(device.udid);
    for (const auto& [d, result] : devices_) {
      if (d.udid != device.udid || d.connection != device.connection) continue;
      if (const auto* facts = std::get_if<DeviceFacts>(&result)) {
        DeviceFacts out = *facts;
        const bool ask = out.trusted && askRelay && askRelay(out);
        if (ask) asked.push_back(device.udid);
        if (!ask) {
          out.health.reset();
          out.reading.reset();
        }
        return out;
      }
      if (error) *error = std::get<std::string>(result);
      return std::nullopt;
    }
    return std::nullopt;  // listed devices only are read
  }

  std::vector<std::string> read, asked;

 private:
  std::vector<std::pair<DeviceCandidate, std::variant<DeviceFacts, std::string>>> devices_;
};

}  // namespace nuv::fake
