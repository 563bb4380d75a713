#include "usb/USBPluWatcher.h"

#include <algorithm>

#include "platform/Log.h"
#include "platform/ProcessServices.h"

namespace nuv {
namespace {

// Registry names are read into a fixed 128-byte buffer, terminator included.
constexpr std::size_t kNameBufferSize = 128;

// The name the watcher compares. An unreadable name is empty. A name that is
// not plain ASCII is empty too: such a device can be no iPhone, iPad or iPod,
// and an empty name keeps it out of every comparison while its termination
// is still handled and its record freed.
std::string registryName(const std::optional<std::string>& raw) {
  if (!raw) return {};
  std::string name = raw->substr(0, std::min(raw->size(), kNameBufferSize - 1));
  const bool ascii = std::all_of(name.begin(), name.end(), [](char c) {
    return c != '\0' && static_cast<unsigned char>(c) < 0x80;
  });
  return ascii ? name : std::string();
}

bool startsRun(const std::string& name) { return name == "iPhone" || name == "iPad"; }

bool isIOSDevice(const std::string& name) {
  return name == "iPhone" || name == "iPad" || name == "iPod";
}

USBPluWatcher::RegistryFactory& registryFactory() {
  static USBPluWatcher::RegistryFactory factory;
  return factory;
}

}  // namespace

USBPluWatcher::USBPluWatcher(std::unique_ptr<UsbRegistry> registry, RunLoop& mainLoop,
                             bool runsLoop)
    : registry_(std::move(registry)), loop_(mainLoop), runsLoop_(runsLoop) {}

USBPluWatcher::~USBPluWatcher() {
  // Records end their interest notifications before the registry goes.
  records_.clear();
  registry_.reset();
}

void USBPluWatcher::setRegistryFactory(RegistryFactory factory) {
  registryFactory() = std::move(factory);
}

USBPluWatcher& USBPluWatcher::sharedInstance() {
  static USBPluWatcher* shared = [] {
    auto& factory = registryFactory();
    // Process-wide and never destroyed: registry callbacks may come until
    // the process ends.
    return new USBPluWatcher(factory ? factory() : nullptr, *processServices().mainLoop,
                             /*runsLoop=*/false);
  }();
  return *shared;
}

std::shared_ptr<USBPluWatcherDelegate> USBPluWatcher::deleg() const {
  std::lock_guard lock(properties_.mutex);
  return properties_.deleg;
}

void USBPluWatcher::setDeleg(std::shared_ptr<USBPluWatcherDelegate> deleg) {
  std::lock_guard lock(properties_.mutex);
  properties_.deleg = std::move(deleg);
}

std::optional<std::string> USBPluWatcher::justAddedDevice() const {
  std::lock_guard lock(properties_.mutex);
  settleClears();
  return properties_.justAddedDevice;
}

void USBPluWatcher::setJustAddedDevice(std::optional<std::string> name) {
  std::lock_guard lock(properties_.mutex);
  settleClears();
  properties_.justAddedDevice = std::move(name);
}

// Each match gets its own clear one window later, and a clear does not look
// at what it clears: a later match within this window has its own window cut
// short.
void USBPluWatcher::justMatched(const std::string& name) {
  std::lock_guard lock(properties_.mutex);
  settleClears();
  properties_.justAddedDevice = name;
  properties_.clearsDue.push_back(loop_.clock().monotonicNow() + kJustAddedWindow);
}

void USBPluWatcher::settleClears() const {
  const auto now = loop_.clock().monotonicNow();
  auto& due = properties_.clearsDue;
  while (!due.empty() && due.front() <= now) {
    properties_.justAddedDevice.reset();
    due.pop_front();
  }
}

void USBPluWatcher::appleUSBReg() {
  // No interrupt handler is installed here: SIGINT and SIGTERM reach the
  // application shell as ordinary loop events and end the process there.
  if (registered_) {
    log::warning("USB watcher: already registered");
    return;
  }
  if (!registry_) {
    log::warning("USB watcher: no USB registry; running without USB events");
    return;
  }
  registered_ = true;
  auto present =
      registry_->addMatchingNotification([this](const UsbDevice& device) { deviceAdded(device); });
  // The registry has logged why it cannot be watched.
  if (!present) return;
  // The arming pass: devices attached before registration.
  for (const auto& device : *present) deviceAdded(device);

  // Rare texts, so they stay at the default level (standard error, or the
  // journal under systemd). Each log entry is one record: the texts'
  // trailing line feeds were their framing on a stream.
  log::info("Starting run loop.");
  if (!runsLoop_) return;
  loop_.run();
  log::warning("Unexpectedly back from CFRunLoopRun()!");
}

void USBPluWatcher::deviceAdded(const UsbDevice& device) {
  auto record = std::make_unique<USBDeviceRecord>();
  std::string name = registryName(device.name);

  if (startsRun(name)) {
    justMatched(name);
    send(USBPluWatcherDelegate::Message::startMonitoring);
  }
  record->deviceName = std::move(name);

  // Without a location the device cannot be followed: no termination will be
  // noticed for it. What the match did above stays done.
  if (!device.locationID) return;
  record->locationID = *device.locationID;

  USBDeviceRecord* key = record.get();
  record->notification = registry_->addInterestNotification(
      device, [this, key](std::uint32_t messageType) { deviceNotification(key, messageType); });
  if (!record->notification.active()) return;
  records_.emplace(key, std::move(record));
}

void USBPluWatcher::deviceNotification(USBDeviceRecord* record, std::uint32_t messageType) {
  if (messageType != kUsbMessageServiceIsTerminated) return;
  auto it = records_.find(record);
  if (it == records_.end()) return;

  const std::string& name = record->deviceName;
  log::info(name);
  if (isIOSDevice(name)) {
    auto justAdded = justAddedDevice();
    if (justAdded && *justAdded == name) {
      send(USBPluWatcherDelegate::Message::DevicePlugged);
    } else {
      send(USBPluWatcherDelegate::Message::DeviceUnplugged);
    }
  }
  // Ends the interest notification; the registry has already let go of the
  // handler that is running now.
  records_.erase(it);
}

void USBPluWatcher::send(USBPluWatcherDelegate::Message message) {
  auto delegate = deleg();
  if (!delegate || !delegate->respondsTo(message)) return;
  // The message holds the delegate alive until it has run.
  loop_.post([delegate, message] {
    switch (message) {
      case USBPluWatcherDelegate::Message::startMonitoring:
        delegate->startMonitoring();
        break;
      case USBPluWatcherDelegate::Message::DevicePlugged:
        delegate->DevicePlugged();
        break;
      case USBPluWatcherDelegate::Message::DeviceUnplugged:
        delegate->DeviceUnplugged();
        break;
    }
  });
}

}  // namespace nuv
