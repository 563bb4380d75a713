#include "HostServiceClient.h"

#include "platform/BusNames.h"
#include "platform/Log.h"
#include "platform/linux/bus/BusNotificationCenter.h"

namespace nuvdevices {
namespace {

constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr int kCallTimeoutMs = 10000;

// A call whose cancellable was cancelled (the owner went, or the client was
// destroyed) finishes with G_IO_ERROR_CANCELLED even when its reply had
// already come: GTask checks the cancellable first. Only then may `self` be
// gone.
bool cancelled(const GError* error) {
  return error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
}

}  // namespace

HostServiceClient::HostServiceClient(GDBusConnection* bus, Events events)
    : bus_(G_DBUS_CONNECTION(g_object_ref(bus))),
      events_(std::move(events)),
      notifications_(std::make_unique<nuv::linux_backend::BusNotificationCenter>(bus)),
      calls_(g_cancellable_new()) {
  watch_ =
      g_bus_watch_name_on_connection(bus, nuv::bus::kHostServiceName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                     onAppeared, onVanished, this, nullptr);
}

HostServiceClient::~HostServiceClient() {
  g_bus_unwatch_name(watch_);
  disconnectOwner();
}

void HostServiceClient::disconnectOwner() {
  if (subscription_) g_dbus_connection_signal_unsubscribe(bus_.get(), subscription_);
  subscription_ = 0;
  if (idle_) g_source_remove(idle_);
  idle_ = 0;
  pending_.reset();
  g_cancellable_cancel(calls_.get());
  calls_.reset(g_cancellable_new());
  owner_.clear();
}

void HostServiceClient::onAppeared(GDBusConnection* bus, const char*, const char* owner,
                                   void* data) {
  auto* self = static_cast<HostServiceClient*>(data);
  self->disconnectOwner();
  self->owner_ = owner;
  self->subscription_ = g_dbus_connection_signal_subscribe(
      bus, owner, kPropertiesInterface, "PropertiesChanged", nuv::bus::kHostServicePath,
      nuv::bus::kHostServiceInterface, G_DBUS_SIGNAL_FLAGS_NONE, onPropertiesChanged, self,
      nullptr);
  g_dbus_connection_call(
      bus, owner, nuv::bus::kHostServicePath, kPropertiesInterface, "Get",
      g_variant_new("(ss)", nuv::bus::kHostServiceInterface, nuv::bus::kDevicesProperty),
      G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, self->calls_.get(),
      onDevicesRead, self);
  self->reported_ = true;
  if (self->events_.running) self->events_.running(true);
}

void HostServiceClient::onVanished(GDBusConnection*, const char*, void* data) {
  auto* self = static_cast<HostServiceClient*>(data);
  const bool was = self->running();
  self->disconnectOwner();
  // The watch also reports "no owner" once at the start.
  if (self->events_.running && (was || !self->reported_)) self->events_.running(false);
  self->reported_ = true;
}

void HostServiceClient::onPropertiesChanged(GDBusConnection*, const char*, const char*, const char*,
                                            const char*, GVariant* body, void* data) {
  auto* self = static_cast<HostServiceClient*>(data);
  if (!g_variant_is_of_type(body, G_VARIANT_TYPE("(sa{sv}as)"))) return;
  nuv::glib::Variant changed(g_variant_get_child_value(body, 1));
  if (GVariant* devices =
          g_variant_lookup_value(changed.get(), nuv::bus::kDevicesProperty, nullptr)) {
    self->receive(devices);
    return;
  }
  // A property that is only invalidated is read again.
  nuv::glib::Variant invalidated(g_variant_get_child_value(body, 2));
  const gchar** names = g_variant_get_strv(invalidated.get(), nullptr);
  bool devicesInvalidated = false;
  for (const gchar** n = names; n && *n; ++n)
    devicesInvalidated |= g_str_equal(*n, nuv::bus::kDevicesProperty);
  g_free(names);
  if (devicesInvalidated) {
    g_dbus_connection_call(
        self->bus_.get(), self->owner_.c_str(), nuv::bus::kHostServicePath, kPropertiesInterface,
        "Get", g_variant_new("(ss)", nuv::bus::kHostServiceInterface, nuv::bus::kDevicesProperty),
        G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, self->calls_.get(),
        onDevicesRead, self);
  }
}

void HostServiceClient::onDevicesRead(GObject* bus, GAsyncResult* result, void* data) {
  GError* raw = nullptr;
  nuv::glib::Variant reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, &raw));
  nuv::glib::Error error(raw);
  if (cancelled(error.get())) return;
  auto* self = static_cast<HostServiceClient*>(data);
  if (!reply) {
    self->warnOnce(Warning::Read,
                   std::string("cannot read the module's devices: ") + error->message);
    return;
  }
  GVariant* devices = nullptr;
  g_variant_get(reply.get(), "(v)", &devices);
  self->receive(devices);
}

void HostServiceClient::receive(GVariant* devices) {
  pending_.reset(devices);
  // At the bus's own priority: a window busy drawing must not starve it.
  if (!idle_) idle_ = g_idle_add_full(G_PRIORITY_DEFAULT, deliverPending, this, nullptr);
}

int HostServiceClient::deliverPending(void* data) {
  auto* self = static_cast<HostServiceClient*>(data);
  self->idle_ = 0;
  nuv::glib::Variant devices = std::move(self->pending_);
  std::string error;
  auto map = nuvctl::StackPayload::fromDevices(devices.get(), &error);
  if (!map) {
    self->warnOnce(Warning::Shape, "ignored a device map of the wrong shape: " + error);
  } else if (self->events_.devices) {
    self->events_.devices(*map);
  }
  return G_SOURCE_REMOVE;
}

void HostServiceClient::refresh() {
  if (!running()) return;
  g_dbus_connection_call(bus_.get(), owner_.c_str(), nuv::bus::kHostServicePath,
                         nuv::bus::kHostServiceInterface, nuv::bus::kRefreshMethod, nullptr,
                         G_VARIANT_TYPE("()"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, calls_.get(),
                         onRefreshed, this);
}

void HostServiceClient::onRefreshed(GObject* bus, GAsyncResult* result, void* data) {
  GError* raw = nullptr;
  nuv::glib::Variant reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, &raw));
  nuv::glib::Error error(raw);
  if (cancelled(error.get()) || reply) return;
  static_cast<HostServiceClient*>(data)->warnOnce(
      Warning::Refresh, std::string("Refresh() failed: ") + error->message);
}

void HostServiceClient::requestStop() {
  notifications_->postNotification(nuv::Notification{nuv::bus::kKillNotification, "", {}});
}

void HostServiceClient::warnOnce(Warning kind, const std::string& what) {
  static unsigned warned = 0;  // Warning bits already logged; loop thread only
  const unsigned bit = 1u << static_cast<unsigned>(kind);
  if (warned & bit) return;
  warned |= bit;
  nuv::log::warning(what);
}

}  // namespace nuvdevices
