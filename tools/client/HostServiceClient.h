#pragma once

#include <functional>
#include <memory>
#include <string>

#include "StackPayload.h"
#include "platform/linux/GlibHandles.h"

namespace nuv::linux_backend {
class BusNotificationCenter;
}

namespace nuvdevices {

// The module as a host application sees it on the session bus: whether it
// runs (its well-known name has an owner), its device status map, and the two
// requests a host makes of it.
//
// When the name gets an owner, the client subscribes to that owner's
// PropertiesChanged and then reads `Devices`; replies and signals arrive in
// the order the owner sent them, so the newest map always wins. Only the
// owner of the name is listened to: another process on the bus can neither
// feed rows in nor make the module look stopped. Maps arriving faster than
// the loop turns are coalesced: only the newest is decoded and reported. A
// map that does not have the documented shape is dropped with one warning.
//
// Loop thread only. Callbacks run on the loop, never inside a call made to
// this class; none runs after destruction.
class HostServiceClient {
 public:
  struct Events {
    std::function<void(bool running)> running;                 // the name got or lost its owner
    std::function<void(const nuvctl::StackPayload&)> devices;  // the whole map, each time
  };

  HostServiceClient(GDBusConnection* bus, Events events);
  ~HostServiceClient();
  HostServiceClient(const HostServiceClient&) = delete;
  HostServiceClient& operator=(const HostServiceClient&) = delete;

  bool running() const { return !owner_.empty(); }
  // Asks for a probe run now (`Refresh()`); without a module nothing happens.
  void refresh();
  // Posts the kill notification, which stops every running module.
  void requestStop();

 private:
  static void onAppeared(GDBusConnection*, const char*, const char* owner, void* self);
  static void onVanished(GDBusConnection*, const char*, void* self);
  static void onPropertiesChanged(GDBusConnection*, const char*, const char*, const char*,
                                  const char*, GVariant* body, void* self);
  static void onDevicesRead(GObject* bus, GAsyncResult* result, void* self);
  static void onRefreshed(GObject* bus, GAsyncResult* result, void* self);
  static int deliverPending(void* self);

  void disconnectOwner();
  void receive(GVariant* devices);  // takes a reference
  enum class Warning { Read, Shape, Refresh };
  // One log line per kind of failure in the process, not one per retry nor
  // per client (the window and the alerts each have one).
  static void warnOnce(Warning kind, const std::string& what);

  nuv::glib::Object<GDBusConnection> bus_;
  Events events_;
  std::unique_ptr<nuv::linux_backend::BusNotificationCenter> notifications_;
  unsigned watch_ = 0;
  unsigned subscription_ = 0;
  unsigned idle_ = 0;
  std::string owner_;                      // unique name of the current owner; "" when none
  nuv::glib::Object<GCancellable> calls_;  // cancelled when the owner goes
  nuv::glib::Variant pending_;             // newest map not yet delivered
  bool reported_ = false;                  // whether `running` was reported at all
};

}  // namespace nuvdevices
