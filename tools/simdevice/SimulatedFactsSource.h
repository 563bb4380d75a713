#pragma once

#include <ctime>
#include <string>

#include "DeviceFactsSource.h"

namespace nuv {

// Simulated iPhones and iPads for demonstrations and tests without hardware,
// all trusted and on USB. Each battery level follows the wall clock (one
// percent every 15 s between 60 and 90 %, charging while it rises), every
// device at a phase of its own, so consecutive runs see devices that drift
// and toggle charging without any state of their own. Each device's battery
// health, capacities and charger are fixed by its place in the list; its
// temperature and charging power follow its level and whether it charges.
class SimulatedFactsSource : public DeviceFactsSource {
 public:
  static constexpr int kMaxDevices = 99;

  // `count` devices (0..kMaxDevices) at wall-clock time `now`. `firstName`
  // and `firstUdid` replace the first device's name and UDID when not empty.
  SimulatedFactsSource(int count, std::time_t now, std::string firstName = {},
                       std::string firstUdid = {});

  std::optional<std::vector<DeviceCandidate>> listDevices(std::string* error) override;
  std::optional<DeviceFacts> readFacts(const DeviceCandidate& device, const RelayGate& askRelay,
                                       std::string* error) override;

 private:
  std::string udidOf(int index) const;

  int count_;
  std::time_t now_;
  std::string firstName_;
  std::string firstUdid_;
};

}  // namespace nuv
