#include "BackgroundAlerts.h"

#include <cstdlib>

#include "platform/Log.h"
#include "platform/linux/process/XdgDirs.h"
#include "platform/linux/runtime/DurableFile.h"
#include "platform/linux/runtime/SerialWorker.h"

namespace nuvdevices {
namespace {

constexpr const char* kServices[] = {"org.freedesktop.Notifications", "org.gtk.Notifications"};

std::string notificationId(AlertKind kind, const std::string& device) {
  return BatteryAlertRules::kindName(kind) + ":" + device;
}

// NUV_ALERT_TIME_SCALE=N runs the rules' delays N times faster, so that
// integration tests see the minute-long waits in a moment.
BatteryAlertRules::Delays delays() {
  BatteryAlertRules::Delays d;
  const char* scale = std::getenv("NUV_ALERT_TIME_SCALE");
  const long n = scale ? std::strtol(scale, nullptr, 10) : 1;
  if (n > 1) {
    d.notCharging /= n;
    d.trust /= n;
  }
  return d;
}

}  // namespace

std::string BackgroundAlerts::statePath() {
  return nuv::linux_backend::xdgBaseDirectory("XDG_STATE_HOME", ".local/state") +
         "/nuv-devices/alerts";
}

BackgroundAlerts::BackgroundAlerts(GApplication* app, GDBusConnection* bus, GSettings* settings,
                                   nuv::RunLoop& loop)
    : app_(app),
      settings_(settings ? G_SETTINGS(g_object_ref(settings)) : nullptr),
      cancellable_(g_cancellable_new()),
      writer_(nuv::linux_backend::SerialWorker::start()),
      sandboxed_(g_file_test("/.flatpak-info", G_FILE_TEST_EXISTS)) {
  rules_ = std::make_unique<BatteryAlertRules>(loop, static_cast<AlertSink&>(*this), readSettings(),
                                               nuv::linux_backend::DurableFile::read(statePath()),
                                               delays());
  if (settings_) {
    g_signal_connect(settings_.get(), "changed", G_CALLBACK(onSettingChanged), this);
  }
  if (!bus) return;
  bus_.reset(G_DBUS_CONNECTION(g_object_ref(bus)));
  for (int i = 0; i < 2; ++i) {
    watches_[i] = g_bus_watch_name_on_connection(
        bus, kServices[i], G_BUS_NAME_WATCHER_FLAGS_NONE,
        +[](GDBusConnection*, const char* name, const char*, void* s) {
          auto* self = static_cast<BackgroundAlerts*>(s);
          self->owned_[g_str_equal(name, kServices[1])] = true;
          self->warned_ = false;
        },
        +[](GDBusConnection*, const char* name, void* s) {
          static_cast<BackgroundAlerts*>(s)->owned_[g_str_equal(name, kServices[1])] = false;
        },
        this, nullptr);
  }
  g_dbus_connection_call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "ListActivatableNames", nullptr,
                         G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, -1, cancellable_.get(),
                         onActivatable, this);
  client_ = std::make_unique<nuvclient::HostFollower>(
      bus, nuvclient::HostFollower::Events{
               [this](bool running) {
                 if (!running) rules_->clear();
               },
               [this](const nuvclient::StackPayload& map) { rules_->update(map); }});
}

BackgroundAlerts::~BackgroundAlerts() {
  client_.reset();
  g_cancellable_cancel(cancellable_.get());
  for (unsigned watch : watches_) {
    if (watch) g_bus_unwatch_name(watch);
  }
  if (settings_) g_signal_handlers_disconnect_by_data(settings_.get(), this);
  rules_.reset();
  writer_->waitUntilIdle();  // the last state reaches the disk
  writer_->stop();
}

AlertSettings BackgroundAlerts::readSettings() const {
  AlertSettings s;
  if (!settings_) return s;
  GSettings* g = settings_.get();
  s.enabled = g_settings_get_boolean(g, "battery-alerts");
  s.lowLevel = g_settings_get_int(g, "low-battery-level");
  s.chargeTarget = g_settings_get_int(g, "charge-target");
  s.notCharging = g_settings_get_boolean(g, "not-charging-alert");
  s.hotTemperature = g_settings_get_int(g, "hot-temperature");
  return s;
}

void BackgroundAlerts::onSettingChanged(GSettings*, const char*, void* data) {
  auto* self = static_cast<BackgroundAlerts*>(data);
  self->rules_->setSettings(self->readSettings());
}

void BackgroundAlerts::onActivatable(GObject* bus, GAsyncResult* result, void* data) {
  nuv::glib::Variant reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, nullptr));
  if (!reply) return;  // cancelled (self may be gone), or no answer: assume it can be started
  auto* self = static_cast<BackgroundAlerts*>(data);
  const gchar** names = nullptr;
  g_variant_get(reply.get(), "(^a&s)", &names);
  self->activatable_ = false;
  for (const gchar** n = names; n && *n; ++n) {
    self->activatable_ |= g_str_equal(*n, kServices[0]) || g_str_equal(*n, kServices[1]);
  }
  g_free(names);
}

bool BackgroundAlerts::serviceAvailable() const {
  return sandboxed_ || owned_[0] || owned_[1] || activatable_;
}

void BackgroundAlerts::show(const Alert& alert) {
  if (!serviceAvailable()) {
    if (!warned_) {
      nuv::log::warning(
          "no notification service on the session bus (org.freedesktop.Notifications): "
          "battery alerts are not shown until one starts");
    }
    warned_ = true;
    return;
  }
  nuv::glib::Object<GNotification> note(g_notification_new(alert.title.c_str()));
  g_notification_set_body(note.get(), alert.body.c_str());
  nuv::glib::Object<GIcon> icon(g_themed_icon_new(g_application_get_application_id(app_)));
  g_notification_set_icon(note.get(), icon.get());
  g_notification_set_default_action_and_target(note.get(), "app.show-device", "s",
                                               alert.device.c_str());
  if (alert.kind == AlertKind::Low || alert.kind == AlertKind::Hot) {
    g_notification_set_priority(note.get(), G_NOTIFICATION_PRIORITY_HIGH);
  }
  g_application_send_notification(app_, notificationId(alert.kind, alert.device).c_str(),
                                  note.get());
}

void BackgroundAlerts::withdraw(AlertKind kind, const std::string& device) {
  g_application_withdraw_notification(app_, notificationId(kind, device).c_str());
}

void BackgroundAlerts::remember(const std::string& state) {
  writer_->enqueue([path = statePath(), state] {
    std::string error;
    if (!nuv::linux_backend::DurableFile::replace(path, state, &error)) {
      nuv::log::warning("cannot keep the alerts that were given: " + error);
    }
  });
}

}  // namespace nuvdevices
