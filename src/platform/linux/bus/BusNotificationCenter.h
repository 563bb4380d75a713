#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/NotificationCenter.h"

typedef struct _GDBusConnection GDBusConnection;

namespace nuv::linux_backend {

// Distributed notifications on the session bus, as platform/BusNames.h
// describes them: one signal per notification, observers matching on its
// name (arg0) so that the bus filters.
//
// Observers run on the main context (the thread-default context when
// addObserver is called). post() may be called from the main thread only.
class BusNotificationCenter : public NotificationCenter {
 public:
  // Connects to the session bus; null with `error` set when there is none.
  static std::unique_ptr<BusNotificationCenter> connectSession(std::string* error);
  explicit BusNotificationCenter(GDBusConnection* connection);  // takes a reference
  ~BusNotificationCenter() override;

  void postNotification(const Notification& note) override;
  Subscription addObserver(const std::string& name, Observer observer) override;
  // Calls `onClosed` once, on the main context, when the connection is lost
  // (the bus daemon ended, the session closed), with the reason. Subscribe
  // before the loop first runs: a loss that came earlier is reported then.
  Subscription observeClosed(std::function<void(const std::string& reason)> onClosed);

  GDBusConnection* connection() const { return connection_; }

 private:
  GDBusConnection* connection_;
};

}  // namespace nuv::linux_backend
