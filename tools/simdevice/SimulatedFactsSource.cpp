#include "SimulatedFactsSource.h"

#include <algorithm>
#include <cstdio>

namespace nuv {
namespace {

struct Model {
  const char* name;
  const char* productType;
  std::int64_t designCapacity;  // mAh
  std::int64_t chargerWatts;
  const char* chargerName;
};
constexpr Model kModels[] = {{"Simulated iPhone", "iPhone15,2", 3200, 20, "pd charger"},
                             {"Simulated iPad", "iPad13,1", 7606, 12, "usb brick"},
                             {"Simulated iPod touch", "iPod9,1", 1043, 5, "usb host"}};
constexpr int kModelCount = sizeof kModels / sizeof kModels[0];

}  // namespace

SimulatedFactsSource::SimulatedFactsSource(int count, std::time_t now, std::string firstName,
                                           std::string firstUdid)
    : count_(count),
      now_(now),
      firstName_(std::move(firstName)),
      firstUdid_(std::move(firstUdid)) {}

std::string SimulatedFactsSource::udidOf(int index) const {
  if (index == 0 && !firstUdid_.empty()) return firstUdid_;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "00008030-00SIMULATED%04d", index + 1);
  return buffer;
}

std::optional<std::vector<DeviceCandidate>> SimulatedFactsSource::listDevices(std::string*) {
  std::vector<DeviceCandidate> devices;
  for (int i = 0; i < count_; ++i) devices.push_back({udidOf(i), DeviceConnection::Usb});
  return devices;
}

std::optional<DeviceFacts> SimulatedFactsSource::readFacts(const DeviceCandidate& device,
                                                           const RelayGate& askRelay,
                                                           std::string* error) {
  for (int i = 0; i < count_; ++i) {
    if (udidOf(i) != device.udid) continue;
    const Model& model = kModels[i % kModelCount];
    DeviceFacts facts;
    if (i == 0 && !firstName_.empty()) {
      facts.name = firstName_;
    } else if (i < kModelCount) {
      facts.name = model.name;
    } else {
      facts.name = std::string(model.name) + " " + std::to_string(i + 1);
    }
    facts.productType = model.productType;
    facts.trusted = true;
    constexpr long kLow = 60, kHigh = 90, kStepSeconds = 15, kSpan = kHigh - kLow;
    const long step = (static_cast<long>(now_ / kStepSeconds) + 17L * i) % (2 * kSpan);
    const bool charging = step < kSpan;
    facts.batteryLevel = charging ? kLow + step : kHigh - (step - kSpan);
    facts.charging = charging;
    facts.externalConnected = charging;
    facts.fullyCharged = false;
    if (!askRelay || !askRelay(facts)) return facts;
    const std::int64_t maxCapacity = 98 - 3 * (i % 6);
    facts.health = BatteryHealth{120 + 97 * i, maxCapacity};
    BatteryReading& r = facts.reading.emplace();
    r.temperature = 27 + i % 4 + (charging ? 4 : 0);
    r.designCapacity = model.designCapacity;
    r.fullChargeCapacity = model.designCapacity * maxCapacity / 100;
    if (charging) {
      r.chargerWatts = model.chargerWatts;
      r.chargerName = model.chargerName;
      r.chargerWireless = false;
      // Fast up to 80 %, then trickling.
      r.chargingWatts =
          std::max<std::int64_t>(1, model.chargerWatts * (*facts.batteryLevel < 80 ? 3 : 1) / 5);
    }
    return facts;
  }
  if (error) *error = "no such simulated device";
  return std::nullopt;
}

}  // namespace nuv
