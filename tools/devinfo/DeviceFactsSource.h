#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nuv {

enum class DeviceConnection { Usb, Network };

// One device as usbmuxd lists it. The same device may be listed twice, once
// per connection.
struct DeviceCandidate {
  std::string udid;
  DeviceConnection connection = DeviceConnection::Usb;
};

// The battery's wear, from its registry entry on the device.
struct BatteryHealth {
  std::optional<std::int64_t> cycleCount;
  // Full-charge capacity in percent of the design capacity, rounded.
  std::optional<std::int64_t> maxCapacity;

  bool empty() const { return !cycleCount && !maxCapacity; }
  bool operator==(const BatteryHealth&) const = default;
};

// The battery's readings that change by the minute, from the same entry.
// Each is set only when the device gave a value a battery can have.
struct BatteryReading {
  std::optional<std::int64_t> temperature;         // whole degrees Celsius
  std::optional<std::int64_t> designCapacity;      // mAh
  std::optional<std::int64_t> fullChargeCapacity;  // mAh
  // The charger, only while external power is connected.
  std::optional<std::int64_t> chargerWatts;  // what it offers, whole W
  std::optional<std::string> chargerName;
  std::optional<bool> chargerWireless;
  // What goes into the battery, whole W; only while the current is positive.
  std::optional<std::int64_t> chargingWatts;

  bool operator==(const BatteryReading&) const = default;
};

// What the probe learned about one device. Battery facts are only meaningful
// when `trusted` is true: an untrusted or locked device does not give them out.
struct DeviceFacts {
  std::optional<std::string> name;
  std::optional<std::string> productType;
  bool trusted = false;
  std::optional<std::int64_t> batteryLevel;
  std::optional<bool> charging;
  std::optional<bool> externalConnected;
  std::optional<bool> fullyCharged;
  // Set only when the relay was asked and the device gave some of it.
  std::optional<BatteryHealth> health;
  std::optional<BatteryReading> reading;
};

// Where the probe gets its facts from: usbmuxd and lockdown in the real tool,
// a scripted double in tests. Implementations must never start pairing.
class DeviceFactsSource {
 public:
  virtual ~DeviceFactsSource() = default;

  // The attached devices, in no particular order; empty when there are none.
  // std::nullopt, with a readable reason in `error`, when the devices cannot
  // be listed at all (usbmuxd is not running).
  virtual std::optional<std::vector<DeviceCandidate>> listDevices(std::string* error) = 0;

  // Called once a trusted session is open and the battery domain is read
  // (the facts so far), before the diagnostics relay is asked for the
  // battery's entry: false to leave the relay alone. Asking costs a service
  // on the device, so the caller rations it. One ask gives both the health
  // and the reading.
  using RelayGate = std::function<bool(const DeviceFacts& sofar)>;

  // Reads one device. std::nullopt, with a readable reason in `error`, when
  // the device cannot be reached at all.
  virtual std::optional<DeviceFacts> readFacts(const DeviceCandidate& device,
                                               const RelayGate& askRelay, std::string* error) = 0;
};

}  // namespace nuv
