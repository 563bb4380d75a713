#pragma once

#include <functional>

#include "platform/HistoryStore.h"
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
    // A host asked for a probe run. Called after the host has been answered,
    // so the request never waits for the run.
    std::function<void()> refresh;
    // Another process holds the service's name: at publish time, or it took
    // the name over later. Hosts then reach that process, not this one. Not
    // called when the bus connection itself goes away.
    std::function<void()> nameLost;
    // A host asked for one device's battery history since a date. `reply`
    // answers it, once, on the loop thread, later or at once; a device
    // without history gets an empty one.
    std::function<void(const std::string& device, Date since,
                       std::function<void(const DeviceHistory&)> reply)>
        history = {};
    // A host asked which devices have history since a date, present or
    // not. `reply` as for `history`.
    std::function<void(Date since, std::function<void(const std::vector<HistoryDevice>&)> reply)>
        historyDevices = {};
    // A host asked for one device's battery health rows since a date, oldest
    // first. `reply` as for `history`; a device without rows gets none.
    std::function<void(const std::string& device, Date since,
                       std::function<void(const std::vector<HealthReading>&)> reply)>
        healthHistory = {};
  };

  virtual ~HostService() = default;

  // Makes the service reachable and asks for its name. Destroying the handle
  // withdraws both; no handler runs after that.
  virtual Subscription publish(Handlers handlers) = 0;

  // The device status map (device key -> entry dictionary, the shape of the
  // "iOSStack" user info) that reads give from now on, published or not;
  // empty until the first call. Hosts are not told: the owner calls this for
  // every change of the map, so a read never sees an older map than the
  // module holds, and announceDevices() at the moments hosts must hear of it.
  virtual void setDevices(const Dictionary& devices) = 0;

  // Tells hosts that the map is now the one last set (the value a read
  // gives). Does nothing while the service is not published.
  virtual void announceDevices() = 0;
};

}  // namespace nuv
