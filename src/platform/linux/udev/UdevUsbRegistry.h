#pragma once

#include <memory>

#include "platform/UsbRegistry.h"

typedef struct _GMainContext GMainContext;

namespace nuv::linux_backend {

// The USB registry on libudev: a monitor on subsystem "usb", devtype
// "usb_device", read by a GLib fd source on the given main context. Devices
// are identified by syspath; the name is the sysfs attribute "product", the
// location comes from "busnum" and "devnum". Termination is the "remove"
// uevent of a matched syspath; any other uevent of it is a property change.
//
// Nothing is opened until addMatchingNotification. Loop thread only.
class UdevUsbRegistry : public UsbRegistry {
 public:
  // `context` null: the default main context.
  explicit UdevUsbRegistry(GMainContext* context = nullptr);
  ~UdevUsbRegistry() override;
  UdevUsbRegistry(const UdevUsbRegistry&) = delete;
  UdevUsbRegistry& operator=(const UdevUsbRegistry&) = delete;

  std::optional<std::vector<UsbDevice>> addMatchingNotification(MatchHandler onMatch) override;
  Subscription addInterestNotification(const UsbDevice& device, InterestHandler onMessage) override;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace nuv::linux_backend
