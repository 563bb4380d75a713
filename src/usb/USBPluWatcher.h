#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/RunLoop.h"
#include "platform/Subscription.h"
#include "platform/UsbRegistry.h"
#include "usb/USBPluWatcherDelegate.h"

namespace nuv {

// One per matched USB device that got an interest notification; freed when
// the device terminates.
struct USBDeviceRecord {
  Subscription notification;
  std::string deviceName;
  std::uint32_t locationID = 0;
};

// Watches USB attach and detach and tells its delegate when an iPhone or iPad
// arrives (startMonitoring) and when an iPhone, iPad or iPod goes away
// (DevicePlugged within the just-added window of a same-name match,
// DeviceUnplugged otherwise). It decides by the device's registry name only.
//
// Threading: appleUSBReg and every registry callback run on the main loop
// thread; deleg and justAddedDevice may be read and written from any thread.
class USBPluWatcher {
 public:
  using RegistryFactory = std::function<std::unique_ptr<UsbRegistry>()>;

  // How long a matched iPhone/iPad name stays in justAddedDevice.
  static constexpr Milliseconds kJustAddedWindow{1000};

  // `runsLoop`: whether appleUSBReg serves the loop itself after registering
  // (true) or returns to a caller that is already serving it (false).
  // A null registry watches nothing. The watcher's fixed texts and the name
  // of every terminated device go to the log at debug level (a steady state
  // with USB activity writes nothing by default).
  USBPluWatcher(std::unique_ptr<UsbRegistry> registry, RunLoop& mainLoop, bool runsLoop = true);
  ~USBPluWatcher();
  USBPluWatcher(const USBPluWatcher&) = delete;
  USBPluWatcher& operator=(const USBPluWatcher&) = delete;

  // The process-wide watcher, created on first use from the installed
  // registry factory and processServices().mainLoop (both must be installed
  // first). It never runs the loop itself: the application shell does.
  static USBPluWatcher& sharedInstance();
  // Composition root only, before the first sharedInstance().
  static void setRegistryFactory(RegistryFactory factory);

  std::shared_ptr<USBPluWatcherDelegate> deleg() const;
  void setDeleg(std::shared_ptr<USBPluWatcherDelegate> deleg);
  std::optional<std::string> justAddedDevice() const;
  void setJustAddedDevice(std::optional<std::string> name);

  // Main loop thread, once. Registers first-match notifications, handles the
  // devices already attached, then serves the loop when `runsLoop` was given.
  // Returns at once (with one log line) when USB cannot be watched.
  void appleUSBReg();

  // Devices currently holding a record (matched, not skipped, not terminated).
  std::size_t recordCount() const { return records_.size(); }

 private:
  // The atomic properties (mutable: reading the name settles its clears).
  struct Properties {
    std::mutex mutex;
    std::shared_ptr<USBPluWatcherDelegate> deleg;
    // The clears that matches queued, by due time, earliest first (every
    // match adds the same window to a monotonic now); at most the matches of
    // the last window. A clear takes effect when the name is next read or
    // written at or after its time: nothing but the name sees it, so no
    // timer has to wake the loop for it, and a storm of matches leaves no
    // pending source behind.
    std::deque<MonotonicTime> clearsDue;
    std::optional<std::string> justAddedDevice;
  };

  void deviceAdded(const UsbDevice& device);
  void deviceNotification(USBDeviceRecord* record, std::uint32_t messageType);
  void send(USBPluWatcherDelegate::Message message);
  // Sets justAddedDevice to `name` and queues its clear one window later.
  void justMatched(const std::string& name);
  // Lets the clears due by now take effect, in order. The caller holds the mutex.
  void settleClears() const;

  std::unique_ptr<UsbRegistry> registry_;
  RunLoop& loop_;
  bool runsLoop_;
  bool registered_ = false;
  mutable Properties properties_;
  std::unordered_map<USBDeviceRecord*, std::unique_ptr<USBDeviceRecord>> records_;
};

}  // namespace nuv
