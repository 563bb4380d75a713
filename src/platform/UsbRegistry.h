#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Subscription.h"

namespace nuv {

// Interest message types delivered for a matched USB device.
inline constexpr std::uint32_t kUsbMessageServiceIsTerminated = 0xE0000010;
// The device's attributes changed (any uevent other than add/remove).
inline constexpr std::uint32_t kUsbMessageServicePropertyChange = 0xE0000120;

// One USB device as seen at match time. Everything the watcher may need later
// is captured here, because a removed device's attributes are gone.
struct UsbDevice {
  // Stable identity of the device while it is attached (sysfs path).
  std::string syspath;
  // The registry name as raw bytes (not necessarily ASCII or UTF-8);
  // nullopt when it could not be read.
  std::optional<std::string> name;
  // Bus/address location; nullopt when the device's bus number or address
  // could not be read, in which case no interest notification can be added.
  std::optional<std::uint32_t> locationID;
};

// The USB device registry: first-match notifications for every USB device and
// per-device interest notifications that report termination.
//
// Threading: every call and every callback happens on the main loop thread.
class UsbRegistry {
 public:
  using MatchHandler = std::function<void(const UsbDevice&)>;
  using InterestHandler = std::function<void(std::uint32_t messageType)>;

  virtual ~UsbRegistry() = default;

  // Starts first-match notifications and returns the devices attached right
  // now (the arming pass). The registry listens before it lists, so a device
  // attached meanwhile is reported exactly once: either in the returned list
  // or later through `onMatch`. A device is matched at most once between its
  // arrival and its removal. Returns nullopt when the registry cannot be
  // watched at all; nothing is delivered then. Call at most once; the
  // notifications last for the registry's lifetime.
  virtual std::optional<std::vector<UsbDevice>> addMatchingNotification(MatchHandler onMatch) = 0;

  // Adds an interest notification for a matched device. `onMessage` receives
  // kUsbMessageServiceIsTerminated once when the device goes away, after
  // which nothing more is delivered; other message types may come before it.
  // The handler may end its own subscription from inside its call.
  // Returns an inactive Subscription if the device is no longer attached.
  virtual Subscription addInterestNotification(const UsbDevice& device,
                                               InterestHandler onMessage) = 0;
};

}  // namespace nuv
