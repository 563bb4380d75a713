#pragma once

#include "DeviceFactsSource.h"

namespace nuv::linux_backend {

// Device facts from usbmuxd and the device's lockdown service
// (libimobiledevice). It never pairs: a device is "trusted" only when usbmuxd
// already holds a pair record that the device accepts for a session; anything
// else is reported untrusted, without a trust dialog on the device.
class LockdownFactsSource : public DeviceFactsSource {
 public:
  std::optional<std::vector<DeviceCandidate>> listDevices(std::string* error) override;
  std::optional<DeviceFacts> readFacts(const DeviceCandidate& device, const RelayGate& askRelay,
                                       std::string* error) override;
};

}  // namespace nuv::linux_backend
