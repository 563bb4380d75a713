#include "platform/linux/bus/BusNotificationCenter.h"

#include <gio/gio.h>

#include "platform/BusNames.h"
#include "platform/Log.h"
#include "platform/linux/GlibHandles.h"
#include "platform/linux/bus/VariantCodec.h"

namespace nuv::linux_backend {
namespace {

struct ObserverData {
  NotificationCenter::Observer observer;
};

void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
              GVariant* parameters, gpointer userData) {
  auto* data = static_cast<ObserverData*>(userData);
  // The match on arg0 guarantees a leading string; anything after it is the
  // sender's business. A notification with an unreadable payload is still
  // delivered (observers such as the kill handler do not read it).
  Notification note;
  const gsize n = g_variant_n_children(parameters);
  if (n >= 1) {
    glib::Variant name(g_variant_get_child_value(parameters, 0));
    if (g_variant_is_of_type(name.get(), G_VARIANT_TYPE_STRING)) {
      note.name = g_variant_get_string(name.get(), nullptr);
    }
  }
  if (n >= 2) {
    glib::Variant object(g_variant_get_child_value(parameters, 1));
    if (g_variant_is_of_type(object.get(), G_VARIANT_TYPE_STRING)) {
      note.object = g_variant_get_string(object.get(), nullptr);
    }
  }
  if (n >= 3) {
    glib::Variant info(g_variant_get_child_value(parameters, 2));
    std::string error;
    if (auto dict = dictionaryFromVariant(info.get(), &error)) {
      note.userInfo = std::move(*dict);
    } else {
      log::warning("notification \"" + note.name + "\" with unreadable user info: " + error);
    }
  }
  data->observer(note);
}

}  // namespace

std::unique_ptr<BusNotificationCenter> BusNotificationCenter::connectSession(std::string* error) {
  GError* raw = nullptr;
  glib::Object<GDBusConnection> connection(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
  glib::Error err(raw);
  if (!connection) {
    if (error) *error = err ? err->message : "no session bus";
    return nullptr;
  }
  // GLib's own exit on close would raise SIGTERM, which ends the module with
  // status 0; observeClosed lets the module end with a failure instead.
  g_dbus_connection_set_exit_on_close(connection.get(), FALSE);
  return std::make_unique<BusNotificationCenter>(connection.get());
}

BusNotificationCenter::BusNotificationCenter(GDBusConnection* connection)
    : connection_(G_DBUS_CONNECTION(g_object_ref(connection))) {}

BusNotificationCenter::~BusNotificationCenter() {
  // Make sure everything posted has left before the connection goes.
  g_dbus_connection_flush_sync(connection_, nullptr, nullptr);
  g_object_unref(connection_);
}

void BusNotificationCenter::postNotification(const Notification& note) {
  GVariant* body =
      g_variant_new("(ss@a{sv})", note.name.c_str(), note.object.c_str(), toVariant(note.userInfo));
  GError* raw = nullptr;
  if (!g_dbus_connection_emit_signal(connection_, nullptr, bus::kNotificationPath,
                                     bus::kNotificationInterface, bus::kNotificationMember, body,
                                     &raw)) {
    glib::Error err(raw);
    log::warning("cannot post \"" + note.name + "\": " + (err ? err->message : "unknown error"));
  }
  // No flush here: emitting hands the message to the connection's worker,
  // which writes it at once, while an asynchronous flush would cost a pool
  // thread per broadcast. Exit paths flush synchronously (destructor, main).
}

Subscription BusNotificationCenter::addObserver(const std::string& name, Observer observer) {
  auto* data = new ObserverData{std::move(observer)};
  const guint id = g_dbus_connection_signal_subscribe(
      connection_, nullptr, bus::kNotificationInterface, bus::kNotificationMember,
      bus::kNotificationPath, name.c_str(), G_DBUS_SIGNAL_FLAGS_NONE, &onSignal, data,
      [](gpointer p) { delete static_cast<ObserverData*>(p); });
  GDBusConnection* connection = G_DBUS_CONNECTION(g_object_ref(connection_));
  return Subscription([connection, id] {
    g_dbus_connection_signal_unsubscribe(connection, id);
    g_object_unref(connection);
  });
}

Subscription BusNotificationCenter::observeClosed(
    std::function<void(const std::string& reason)> onClosed) {
  using Handler = std::function<void(const std::string&)>;
  auto* data = new Handler(std::move(onClosed));
  auto onSignal = +[](GDBusConnection*, gboolean peerVanished, GError* error, gpointer userData) {
    (*static_cast<Handler*>(userData))(error          ? error->message
                                       : peerVanished ? "the bus went away"
                                                      : "closed");
  };
  // GDBus emits "closed" from an idle on the context the connection was made
  // in: a loss that came before this call is still delivered as long as the
  // loop has not run since.
  const gulong id = g_signal_connect_data(
      connection_, "closed", G_CALLBACK(onSignal), data,
      [](gpointer p, GClosure*) { delete static_cast<Handler*>(p); },
      static_cast<GConnectFlags>(0));
  GDBusConnection* connection = G_DBUS_CONNECTION(g_object_ref(connection_));
  return Subscription([connection, id] {
    g_signal_handler_disconnect(connection, id);
    g_object_unref(connection);
  });
}

}  // namespace nuv::linux_backend
