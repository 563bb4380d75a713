#pragma once

#include <functional>
#include <optional>
#include <string>

#include "HostClient.h"
#include "StackPayload.h"
#include "platform/linux/GlibHandles.h"

namespace nuvclient {

// The module as a program with a loop follows it on the bus: whether it runs
// (its well-known name has an owner), its device status map, and the two
// requests a host makes of it.
//
// When the name gets an owner, the follower subscribes to that owner's
// PropertiesChanged and then reads `Devices` from it; replies and signals
// arrive in the order the owner sent them, so the newest map always wins.
// Only the owner of the name is listened to: another process on the bus can
// neither feed maps in nor make the module look stopped. Maps arriving faster
// than the loop turns are coalesced: only the newest is decoded and reported.
// A map that does not have the documented shape is dropped with one warning.
//
// Loop thread only. Callbacks run on the loop, never inside a call made to
// this class; none runs after destruction.
class HostFollower {
 public:
  struct Events {
    std::function<void(bool running)> running;         // the name got or lost its owner
    std::function<void(const StackPayload&)> devices;  // the whole map, each time
  };

  HostFollower(GDBusConnection* bus, Events events);
  ~HostFollower();
  HostFollower(const HostFollower&) = delete;
  HostFollower& operator=(const HostFollower&) = delete;

  bool running() const { return owner_.has_value(); }
  // Asks for a probe run now (`Refresh()`); without a module nothing happens.
  void refresh();
  // Posts the kill notification, which stops every running module.
  void requestStop();

  // How long a call to the owner may take before it counts as failed.
  static constexpr int kCallTimeoutMs = 10000;

 private:
  static void onAppeared(GDBusConnection*, const char*, const char* owner, void* self);
  static void onVanished(GDBusConnection*, const char*, void* self);
  static void onPropertiesChanged(GDBusConnection*, const char*, const char*, const char*,
                                  const char*, GVariant* body, void* self);
  static void onDevicesRead(GObject* bus, GAsyncResult* result, void* self);
  static void onRefreshed(GObject* bus, GAsyncResult* result, void* self);
  static int deliverPending(void* self);

  void disconnectOwner();
  void readDevices();
  void receive(nuv::glib::Variant devices);
  enum class Warning { Read, Shape, Refresh, Stop };
  // One log line per kind of failure in the process, not one per retry nor
  // per follower (the window and the alerts each have one).
  static void warnOnce(Warning kind, const std::string& what);

  HostClient service_;  // by the well-known name
  Events events_;
  unsigned watch_ = 0;
  unsigned subscription_ = 0;
  unsigned idle_ = 0;
  std::optional<HostClient> owner_;        // calls to the current owner; none when no module runs
  nuv::glib::Object<GCancellable> calls_;  // cancelled when the owner goes
  nuv::glib::Variant pending_;             // newest map not yet delivered
  bool reported_ = false;                  // whether `running` was reported at all
};

}  // namespace nuvclient
