#include "HostFollower.h"

#include <glib/gi18n.h>

#include "platform/BusNames.h"
#include "platform/Log.h"
#include "platform/linux/runtime/LocaleText.h"

namespace nuvclient {

using nuv::linux_backend::LocaleText;

namespace {

constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";

}  // namespace

HostFollower::HostFollower(GDBusConnection* bus, Events events)
    : service_(bus), events_(std::move(events)), calls_(g_cancellable_new()) {
  watch_ =
      g_bus_watch_name_on_connection(bus, nuv::bus::kHostServiceName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                     onAppeared, onVanished, this, nullptr);
}

HostFollower::~HostFollower() {
  g_bus_unwatch_name(watch_);
  disconnectOwner();
}

void HostFollower::disconnectOwner() {
  if (subscription_) g_dbus_connection_signal_unsubscribe(service_.bus(), subscription_);
  subscription_ = 0;
  if (idle_) g_source_remove(idle_);
  idle_ = 0;
  pending_.reset();
  // Only a cancelled call may finish after this: its callback leaves `this`
  // alone.
  g_cancellable_cancel(calls_.get());
  calls_.reset(g_cancellable_new());
  owner_.reset();
}

void HostFollower::onAppeared(GDBusConnection* bus, const char*, const char* owner, void* data) {
  auto* self = static_cast<HostFollower*>(data);
  self->disconnectOwner();
  self->owner_.emplace(bus, owner, kCallTimeoutMs);
  self->subscription_ = g_dbus_connection_signal_subscribe(
      bus, owner, kPropertiesInterface, "PropertiesChanged", nuv::bus::kHostServicePath,
      nuv::bus::kHostServiceInterface, G_DBUS_SIGNAL_FLAGS_NONE, onPropertiesChanged, self,
      nullptr);
  self->readDevices();
  self->reported_ = true;
  if (self->events_.running) self->events_.running(true);
}

void HostFollower::onVanished(GDBusConnection*, const char*, void* data) {
  auto* self = static_cast<HostFollower*>(data);
  const bool was = self->running();
  self->disconnectOwner();
  // The watch also reports "no owner" once at the start.
  if (self->events_.running && (was || !self->reported_)) self->events_.running(false);
  self->reported_ = true;
}

void HostFollower::onPropertiesChanged(GDBusConnection*, const char*, const char*, const char*,
                                       const char*, GVariant* body, void* data) {
  auto* self = static_cast<HostFollower*>(data);
  if (!g_variant_is_of_type(body, G_VARIANT_TYPE("(sa{sv}as)"))) return;
  nuv::glib::Variant changed(g_variant_get_child_value(body, 1));
  if (GVariant* devices =
          g_variant_lookup_value(changed.get(), nuv::bus::kDevicesProperty, nullptr)) {
    self->receive(nuv::glib::Variant(devices));
    return;
  }
  // A property that is only invalidated is read again.
  nuv::glib::Variant invalidated(g_variant_get_child_value(body, 2));
  const gchar** names = g_variant_get_strv(invalidated.get(), nullptr);
  bool devicesInvalidated = false;
  for (const gchar** n = names; n && *n; ++n)
    devicesInvalidated |= g_str_equal(*n, nuv::bus::kDevicesProperty);
  g_free(names);
  if (devicesInvalidated) self->readDevices();
}

void HostFollower::readDevices() { owner_->readDevicesAsync(onDevicesRead, this, calls_.get()); }

void HostFollower::onDevicesRead(GObject* bus, GAsyncResult* result, void* data) {
  nuv::glib::Variant devices;
  std::string error;
  switch (HostClient::finishDevices(bus, result, &devices, &error)) {
    case HostClient::Result::Ok:
      static_cast<HostFollower*>(data)->receive(std::move(devices));
      break;
    case HostClient::Result::Failed:
      warnOnce(Warning::Read,
               LocaleText::format(_("cannot read the module's devices: %s"), error.c_str()));
      break;
    case HostClient::Result::NoModule:  // the owner went; the name watch says so
    case HostClient::Result::Cancelled:
      break;
  }
}

void HostFollower::receive(nuv::glib::Variant devices) {
  pending_ = std::move(devices);
  // At the bus's own priority: a window busy drawing must not starve it.
  if (!idle_) idle_ = g_idle_add_full(G_PRIORITY_DEFAULT, deliverPending, this, nullptr);
}

int HostFollower::deliverPending(void* data) {
  auto* self = static_cast<HostFollower*>(data);
  self->idle_ = 0;
  nuv::glib::Variant devices = std::move(self->pending_);
  std::string error;
  auto map = StackPayload::fromDevices(devices.get(), &error);
  if (!map) {
    warnOnce(Warning::Shape,
             LocaleText::format(_("ignored a device map of the wrong shape: %s"), error.c_str()));
  } else if (self->events_.devices) {
    self->events_.devices(*map);
  }
  return G_SOURCE_REMOVE;
}

void HostFollower::refresh() {
  if (owner_) owner_->refreshAsync(onRefreshed, nullptr, calls_.get());
}

void HostFollower::onRefreshed(GObject* bus, GAsyncResult* result, void*) {
  std::string error;
  if (HostClient::finishRefresh(bus, result, &error) == HostClient::Result::Failed) {
    // TRANSLATORS: Refresh() is the name of a call on the bus.
    warnOnce(Warning::Refresh, LocaleText::format(_("Refresh() failed: %s"), error.c_str()));
  }
}

void HostFollower::requestStop() {
  std::string error;
  if (!service_.requestStop(&error)) {
    // TRANSLATORS: the notification that stops the module ("vemo.Tallyport.kill"),
    // then the reason.
    warnOnce(Warning::Stop, LocaleText::format(_("cannot post \"%s\": %s"),
                                               nuv::bus::kKillNotification, error.c_str()));
  }
}

void HostFollower::warnOnce(Warning kind, const std::string& what) {
  static unsigned warned = 0;  // Warning bits already logged; loop thread only
  const unsigned bit = 1u << static_cast<unsigned>(kind);
  if (warned & bit) return;
  warned |= bit;
  nuv::log::warning(what);
}

}  // namespace nuvclient
