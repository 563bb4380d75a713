#pragma once

#include <memory>
#include <string>

#include "platform/LocalNotificationCenter.h"
#include "platform/NotificationCenter.h"

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GCancellable GCancellable;
typedef struct _GVariant GVariant;

namespace nuv::linux_backend {

// The workspace's sleep and wake notifications from systemd-logind on the
// system bus: PrepareForSleep(true) posts kWorkspaceWillSleepNotification,
// PrepareForSleep(false) posts kWorkspaceDidWakeNotification.
//
// While running it holds a "delay" sleep inhibitor, so logind waits for the
// will-sleep observers: they run synchronously, and only after the last one
// has returned is the inhibitor released. It is taken again after wake.
// Without a system bus or without logind it logs one line and never posts.
//
// Main loop thread only: the bus callbacks run on the thread-default main
// context of the thread that created the monitor.
class LogindSleepMonitor : public NotificationCenter {
 public:
  static constexpr const char* kBusName = "org.freedesktop.login1";
  static constexpr const char* kObjectPath = "/org/freedesktop/login1";
  static constexpr const char* kInterface = "org.freedesktop.login1.Manager";

  // Connects to the system bus; never null (without a bus it is inert).
  static std::unique_ptr<LogindSleepMonitor> connectSystem();
  // Takes a reference to `connection`; null makes an inert monitor.
  explicit LogindSleepMonitor(GDBusConnection* connection);
  ~LogindSleepMonitor() override;
  LogindSleepMonitor(const LogindSleepMonitor&) = delete;
  LogindSleepMonitor& operator=(const LogindSleepMonitor&) = delete;

  // Delivers to this process's observers only (nothing goes to logind).
  void postNotification(const Notification& note) override;
  Subscription addObserver(const std::string& name, Observer observer) override;

  bool holdsInhibitor() const { return inhibitorFd_ >= 0; }

 private:
  static void onSignal(GDBusConnection*, const char*, const char*, const char*, const char*,
                       GVariant* parameters, void* self);
  void takeInhibitor();
  void releaseInhibitor();
  void prepareForSleep(bool sleeping);

  GDBusConnection* connection_ = nullptr;
  GCancellable* cancellable_ = nullptr;
  unsigned subscription_ = 0;
  int inhibitorFd_ = -1;
  bool inhibitPending_ = false;
  bool sleeping_ = false;
  bool reported_ = false;
  LocalNotificationCenter observers_;
};

}  // namespace nuv::linux_backend
