#include "platform/linux/session/LogindSleepMonitor.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include "platform/Log.h"
#include "platform/WorkspaceNotifications.h"
#include "platform/linux/GlibHandles.h"

namespace nuv::linux_backend {

std::unique_ptr<LogindSleepMonitor> LogindSleepMonitor::connectSystem() {
  GError* raw = nullptr;
  glib::Object<GDBusConnection> connection(g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &raw));
  glib::Error error(raw);
  if (!connection) {
    log::warning(std::string("no system bus (") + (error ? error->message : "unknown error") +
                 "); running without sleep and wake handling");
    return std::make_unique<LogindSleepMonitor>(nullptr);
  }
  // The module must outlive a system bus restart; it only loses sleep handling.
  g_dbus_connection_set_exit_on_close(connection.get(), FALSE);
  return std::make_unique<LogindSleepMonitor>(connection.get());
}

LogindSleepMonitor::LogindSleepMonitor(GDBusConnection* connection) {
  if (!connection) return;
  connection_ = G_DBUS_CONNECTION(g_object_ref(connection));
  cancellable_ = g_cancellable_new();
  subscription_ = g_dbus_connection_signal_subscribe(
      connection_, kBusName, kInterface, "PrepareForSleep", kObjectPath, nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE, &LogindSleepMonitor::onSignal, this, nullptr);
  takeInhibitor();
}

LogindSleepMonitor::~LogindSleepMonitor() {
  if (!connection_) return;
  g_cancellable_cancel(cancellable_);
  g_object_unref(cancellable_);
  g_dbus_connection_signal_unsubscribe(connection_, subscription_);
  releaseInhibitor();
  g_object_unref(connection_);
}

void LogindSleepMonitor::postNotification(const Notification& note) {
  observers_.postNotification(note);
}

Subscription LogindSleepMonitor::addObserver(const std::string& name, Observer observer) {
  return observers_.addObserver(name, std::move(observer));
}

void LogindSleepMonitor::onSignal(GDBusConnection*, const char*, const char*, const char*,
                                  const char*, GVariant* parameters, void* self) {
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) return;
  gboolean start = FALSE;
  g_variant_get(parameters, "(b)", &start);
  static_cast<LogindSleepMonitor*>(self)->prepareForSleep(start);
}

void LogindSleepMonitor::prepareForSleep(bool sleeping) {
  sleeping_ = sleeping;
  if (sleeping) {
    // Observers run to their end before logind may suspend.
    observers_.postNotification(Notification{kWorkspaceWillSleepNotification, "", {}});
    releaseInhibitor();
  } else {
    observers_.postNotification(Notification{kWorkspaceDidWakeNotification, "", {}});
    takeInhibitor();
  }
}

void LogindSleepMonitor::takeInhibitor() {
  if (!connection_ || inhibitorFd_ >= 0 || inhibitPending_) return;
  inhibitPending_ = true;
  auto done = [](GObject* source, GAsyncResult* result, gpointer data) {
    GUnixFDList* rawList = nullptr;
    GError* raw = nullptr;
    glib::Variant reply(g_dbus_connection_call_with_unix_fd_list_finish(G_DBUS_CONNECTION(source),
                                                                        &rawList, result, &raw));
    glib::Object<GUnixFDList> fds(rawList);
    glib::Error error(raw);
    if (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;
    auto* self = static_cast<LogindSleepMonitor*>(data);
    self->inhibitPending_ = false;
    if (!reply) {
      if (!self->reported_) {
        log::warning(std::string("no sleep inhibitor from logind (") +
                     (error ? error->message : "no reply") + "); running without sleep handling");
        self->reported_ = true;
      }
      return;
    }
    gint32 index = -1;
    g_variant_get(reply.get(), "(h)", &index);
    int fd = -1;
    if (fds && index >= 0 && index < g_unix_fd_list_get_length(fds.get())) {
      fd = g_unix_fd_list_get(fds.get(), index, nullptr);  // a duplicate, close-on-exec
    }
    if (fd < 0) return;
    if (self->sleeping_) {
      close(fd);  // came too late to matter for this sleep
      return;
    }
    self->inhibitorFd_ = fd;
  };
  g_dbus_connection_call_with_unix_fd_list(
      connection_, kBusName, kObjectPath, kInterface, "Inhibit",
      g_variant_new("(ssss)", "sleep", "NUVModule", "Saving the device status before sleep",
                    "delay"),
      G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, cancellable_, done, this);
}

void LogindSleepMonitor::releaseInhibitor() {
  if (inhibitorFd_ < 0) return;
  close(inhibitorFd_);
  inhibitorFd_ = -1;
}

}  // namespace nuv::linux_backend
