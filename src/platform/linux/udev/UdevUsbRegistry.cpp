#include "platform/linux/udev/UdevUsbRegistry.h"

#include <glib-unix.h>
#include <glib.h>
#include <libudev.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/Log.h"
#include "platform/linux/GlibHandles.h"

namespace nuv::linux_backend {
namespace {

struct UdevUnref {
  void operator()(udev* u) const { udev_unref(u); }
};
struct MonitorUnref {
  void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
};
struct DeviceUnref {
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
struct EnumerateUnref {
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
};
using UdevPtr = std::unique_ptr<udev, UdevUnref>;
using MonitorPtr = std::unique_ptr<udev_monitor, MonitorUnref>;
using DevicePtr = std::unique_ptr<udev_device, DeviceUnref>;
using EnumeratePtr = std::unique_ptr<udev_enumerate, EnumerateUnref>;

constexpr const char* kSubsystem = "usb";
constexpr const char* kDevtype = "usb_device";
// Generous, so that a burst of uevents is not dropped by the kernel socket.
constexpr int kReceiveBufferSize = 16 * 1024 * 1024;
// Uevents handled per wake-up before the loop serves its other sources.
constexpr int kEventsPerDispatch = 256;

std::optional<unsigned> readUnsigned(udev_device* dev, const char* attribute) {
  const char* text = udev_device_get_sysattr_value(dev, attribute);
  if (!text) return std::nullopt;
  std::string_view view(text);
  while (!view.empty() && (view.back() == '\n' || view.back() == ' ')) view.remove_suffix(1);
  while (!view.empty() && view.front() == ' ') view.remove_prefix(1);
  unsigned value = 0;
  auto [end, ec] = std::from_chars(view.data(), view.data() + view.size(), value);
  if (ec != std::errc() || end != view.data() + view.size() || view.empty()) return std::nullopt;
  return value;
}

bool isUsbDevice(udev_device* dev) {
  const char* subsystem = udev_device_get_subsystem(dev);
  const char* devtype = udev_device_get_devtype(dev);
  return subsystem && devtype && std::strcmp(subsystem, kSubsystem) == 0 &&
         std::strcmp(devtype, kDevtype) == 0;
}

// Reads what the watcher needs while the device's attributes still exist.
UsbDevice describe(udev_device* dev) {
  UsbDevice device;
  device.syspath = udev_device_get_syspath(dev);
  if (const char* product = udev_device_get_sysattr_value(dev, "product")) device.name = product;
  auto busnum = readUnsigned(dev, "busnum");
  auto devnum = readUnsigned(dev, "devnum");
  if (busnum && devnum) device.locationID = ((*busnum & 0xFFu) << 24) | (*devnum & 0xFFFFFFu);
  return device;
}

}  // namespace

struct UdevUsbRegistry::State {
  struct Known {
    std::uint64_t id = 0;  // of the interest notification, 0 for none
    InterestHandler handler;
  };

  GMainContext* context = nullptr;
  UdevPtr udev;
  MonitorPtr monitor;
  glib::Source source;
  MatchHandler onMatch;
  std::unordered_map<std::string, Known> known;  // matched, not yet removed
  std::uint64_t nextId = 0;

  ~State() {
    if (source) g_source_destroy(source.get());
  }

  void handle(udev_device* dev) {
    const char* action = udev_device_get_action(dev);
    const char* syspath = udev_device_get_syspath(dev);
    if (!action || !syspath || !isUsbDevice(dev)) return;
    std::string path(syspath);

    if (std::strcmp(action, "add") == 0) {
      // Already matched (listed by the arming pass, or a repeated add).
      if (!known.emplace(path, Known{}).second) return;
      UsbDevice device = describe(dev);
      if (onMatch) {
        auto handler = onMatch;
        handler(device);
      }
      return;
    }

    auto it = known.find(path);
    if (it == known.end()) return;
    if (std::strcmp(action, "remove") == 0) {
      auto handler = std::move(it->second.handler);
      known.erase(it);
      if (handler) handler(kUsbMessageServiceIsTerminated);
      return;
    }
    if (it->second.handler) {
      auto handler = it->second.handler;
      handler(kUsbMessageServicePropertyChange);
    }
  }

  static gboolean onReadable(gint, GIOCondition condition, gpointer data) {
    auto* self = static_cast<State*>(data);
    if (condition & (G_IO_ERR | G_IO_HUP | G_IO_NVAL)) {
      log::warning("USB registry: udev monitor failed; no further USB events");
      self->source.reset();
      return G_SOURCE_REMOVE;
    }
    for (int i = 0; i < kEventsPerDispatch; ++i) {
      DevicePtr dev(udev_monitor_receive_device(self->monitor.get()));
      if (!dev) break;
      self->handle(dev.get());
    }
    return G_SOURCE_CONTINUE;
  }
};

UdevUsbRegistry::UdevUsbRegistry(GMainContext* context) : state_(std::make_shared<State>()) {
  state_->context = context ? context : g_main_context_default();
}

UdevUsbRegistry::~UdevUsbRegistry() = default;

std::optional<std::vector<UsbDevice>> UdevUsbRegistry::addMatchingNotification(
    MatchHandler onMatch) {
  auto& s = *state_;
  if (s.monitor) return std::nullopt;

  UdevPtr u(udev_new());
  if (!u) {
    log::warning("USB registry: udev unavailable; running without USB events");
    return std::nullopt;
  }
  MonitorPtr monitor(udev_monitor_new_from_netlink(u.get(), "udev"));
  if (!monitor ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), kSubsystem, kDevtype) < 0 ||
      udev_monitor_enable_receiving(monitor.get()) < 0) {
    log::warning(std::string("USB registry: cannot listen to udev (") + std::strerror(errno) +
                 "); running without USB events");
    return std::nullopt;
  }
  // Best effort: without privileges the kernel caps the size.
  udev_monitor_set_receive_buffer_size(monitor.get(), kReceiveBufferSize);

  // Listening already: now list what is attached. A device that arrives in
  // between shows up in both and is matched once, by syspath.
  EnumeratePtr enumerate(udev_enumerate_new(u.get()));
  if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), kSubsystem) < 0 ||
      udev_enumerate_scan_devices(enumerate.get()) < 0) {
    log::warning("USB registry: cannot list USB devices (no sysfs?); running without USB events");
    return std::nullopt;
  }
  std::vector<UsbDevice> present;
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    DevicePtr dev(udev_device_new_from_syspath(u.get(), udev_list_entry_get_name(entry)));
    if (!dev || !isUsbDevice(dev.get())) continue;
    UsbDevice device = describe(dev.get());
    if (!s.known.emplace(device.syspath, State::Known{}).second) continue;
    present.push_back(std::move(device));
  }

  s.source.reset(g_unix_fd_source_new(udev_monitor_get_fd(monitor.get()),
                                      static_cast<GIOCondition>(G_IO_IN | G_IO_ERR | G_IO_HUP)));
  g_source_set_callback(s.source.get(), G_SOURCE_FUNC(&State::onReadable), state_.get(), nullptr);
  g_source_attach(s.source.get(), s.context);
  s.udev = std::move(u);
  s.monitor = std::move(monitor);
  s.onMatch = std::move(onMatch);
  return present;
}

Subscription UdevUsbRegistry::addInterestNotification(const UsbDevice& device,
                                                      InterestHandler onMessage) {
  auto it = state_->known.find(device.syspath);
  if (it == state_->known.end()) return {};
  const std::uint64_t id = ++state_->nextId;
  it->second.id = id;
  it->second.handler = std::move(onMessage);
  std::weak_ptr<State> weak = state_;
  return Subscription([weak, path = device.syspath, id] {
    auto s = weak.lock();
    if (!s) return;
    auto found = s->known.find(path);
    if (found != s->known.end() && found->second.id == id) {
      found->second.id = 0;
      found->second.handler = nullptr;
    }
  });
}

}  // namespace nuv::linux_backend
