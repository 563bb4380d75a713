#pragma once

#include <memory>
#include <string>

#include "BatteryAlertRules.h"
#include "client/HostFollower.h"
#include "platform/linux/GlibHandles.h"

namespace nuv::linux_backend {
class SerialWorker;
}

namespace nuvdevices {

// The alerts of the devices app, whether or not its window is open: follows
// the module's map on the bus (HostFollower), decides with
// BatteryAlertRules, tells through GNotification (the desktop's own
// notification service: org.freedesktop.Notifications on a plain session,
// the portal in a sandbox), keeps what was told in
// $XDG_STATE_HOME/nuv-devices/alerts (0600, written off the loop) and takes
// its settings from GSettings at once when they change.
//
// Notification ids are "<kind>:<device key>", so an alert replaces the same
// device's previous one of its kind; clicking one runs "app.show-device" with
// the device's key, which opens the window on that device's page.
// When the session bus has no notification service (none owns
// org.freedesktop.Notifications or org.gtk.Notifications, none is
// activatable, and the app is not sandboxed), alerts are not sent and that is
// logged once, until a service appears.
//
// Loop thread only.
class BackgroundAlerts : private AlertSink {
 public:
  // `bus` and `settings` may be null: no alerts without a bus; defaults
  // without settings.
  BackgroundAlerts(GApplication* app, GDBusConnection* bus, GSettings* settings,
                   nuv::RunLoop& loop);
  ~BackgroundAlerts() override;
  BackgroundAlerts(const BackgroundAlerts&) = delete;
  BackgroundAlerts& operator=(const BackgroundAlerts&) = delete;

  static std::string statePath();

 private:
  void show(const Alert& alert) override;
  void withdraw(AlertKind kind, const std::string& device) override;
  void remember(const std::string& state) override;

  AlertSettings readSettings() const;
  bool serviceAvailable() const;
  static void onSettingChanged(GSettings*, const char* key, void* self);
  static void onActivatable(GObject* bus, GAsyncResult* result, void* self);

  GApplication* app_;
  nuv::glib::Object<GSettings> settings_;
  nuv::glib::Object<GDBusConnection> bus_;
  nuv::glib::Object<GCancellable> cancellable_;
  std::shared_ptr<nuv::linux_backend::SerialWorker> writer_;
  unsigned watches_[2] = {0, 0};
  bool owned_[2] = {false, false};
  bool activatable_ = true;  // until the bus says otherwise
  bool sandboxed_ = false;
  bool warned_ = false;
  std::unique_ptr<BatteryAlertRules> rules_;
  std::unique_ptr<nuvclient::HostFollower> client_;  // last: its callbacks use the rules
};

}  // namespace nuvdevices
