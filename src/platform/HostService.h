#pragma once

#include <functional>

#include "platform/Subscription.h"
#include "platform/Value.h"

namespace nuv {

// The module's own service for host applications, beside the broadcasts: the
// device status map as a property that hosts read when they start, a change
// signal that carries each new map, and a request to probe now. On Linux it
// is an object on the session bus under a well-known name.
//
// Threading: loop thread only, for the calls and for every handler.
class HostService {
 public:
  struct Handlers {
    // The map as the next broadcast would carry it (device key -> entry
    // dictionary, the shape of the "iOSStack" user info). Asked on every read,
    // so a read never sees an older map than the module holds.
    std::function<Dictionary()> devices;
    // A host asked for a probe run. Called after the host has been answered,
    // so the request never waits for the run.
    std::function<void()> refresh;
    // Another process holds the service's name: at publish time, or it took
    // the name over later. Hosts then reach that process, not this one. Not
    // called when the bus connection itself goes away.
    std::function<void()> nameLost;
  };

  virtual ~HostService() = default;

  // Makes the service reachable and asks for its name. Destroying the handle
  // withdraws both; no handler runs after that.
  virtual Subscription publish(Handlers handlers) = 0;

  // Tells hosts that the map is now `devices` (the value a read would give).
  // Does nothing while the service is not published.
  virtual void devicesChanged(const Dictionary& devices) = 0;
};

}  // namespace nuv
