#include "platform/linux/desktop/AtspiAccessibilityTrust.h"

#include <gio/gio.h>

#include <memory>
#include <mutex>

#include "platform/Log.h"
#include "platform/linux/GlibHandles.h"

namespace nuv::linux_backend {

namespace {

constexpr const char* kBusName = "org.a11y.Bus";
constexpr const char* kBusPath = "/org/a11y/bus";
constexpr const char* kStatusInterface = "org.a11y.Status";
constexpr const char* kProperty = "IsEnabled";
constexpr int kCallTimeoutMs = 1000;

glib::Object<GDBusConnection> sessionBus() {
  return glib::Object<GDBusConnection>(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
}

glib::Variant call(GDBusConnection* bus, const char* destination, const char* path,
                   const char* interface, const char* method, GVariant* parameters,
                   const GVariantType* replyType) {
  return glib::Variant(g_dbus_connection_call_sync(
      bus, destination, path, interface, method, parameters, replyType,
      G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, nullptr));
}

// Delivery state shared between the signal handler and the subscription: a
// cancelled observation is never called again, even by a delivery that was
// already under way on the loop thread.
struct Watch {
  std::mutex mutex;
  std::function<void()> onChange;  // empty once cancelled
};

// Any change of the status properties counts as an announcement: the
// launcher also switches IsEnabled implicitly (with ScreenReaderEnabled)
// without announcing IsEnabled itself, so the content is not looked at.
void onPropertiesChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                         GVariant*, gpointer data) {
  auto* watch = static_cast<std::shared_ptr<Watch>*>(data);
  std::function<void()> onChange;
  {
    std::lock_guard lock((*watch)->mutex);
    onChange = (*watch)->onChange;
  }
  if (onChange) onChange();
}

}  // namespace

bool AtspiAccessibilityTrust::isProcessTrusted() {
  auto bus = sessionBus();
  if (!bus) return false;
  auto reply = call(bus.get(), kBusName, kBusPath, "org.freedesktop.DBus.Properties", "Get",
                    g_variant_new("(ss)", kStatusInterface, kProperty), G_VARIANT_TYPE("(v)"));
  if (!reply) return false;
  GVariant* boxed = nullptr;
  g_variant_get(reply.get(), "(v)", &boxed);
  glib::Variant value(boxed);
  return value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN) &&
         g_variant_get_boolean(value.get());
}

bool AtspiAccessibilityTrust::canRequestTrust() {
  auto bus = sessionBus();
  if (!bus) return false;
  auto reply =
      call(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
           "NameHasOwner", g_variant_new("(s)", kBusName), G_VARIANT_TYPE("(b)"));
  gboolean owned = FALSE;
  if (reply) g_variant_get(reply.get(), "(b)", &owned);
  return owned;
}

void AtspiAccessibilityTrust::requestTrust() {
  auto bus = sessionBus();
  if (!bus) return;
  // Fire and forget: the answer is not looked at.
  g_dbus_connection_call(
      bus.get(), kBusName, kBusPath, "org.freedesktop.DBus.Properties", "Set",
      g_variant_new("(ssv)", kStatusInterface, kProperty, g_variant_new_boolean(TRUE)), nullptr,
      G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, nullptr, nullptr);
  g_dbus_connection_flush_sync(bus.get(), nullptr, nullptr);
}

void AtspiAccessibilityTrust::openAccessibilitySettings() {
  glib::String program(g_find_program_in_path("gnome-control-center"));
  if (!program) {
    log::info("accessibility settings: no settings application found");
    return;
  }
  gchar* argv[] = {program.get(), const_cast<gchar*>("universal-access"), nullptr};
  GError* raw = nullptr;
  if (!g_spawn_async(nullptr, argv, nullptr, G_SPAWN_STDIN_FROM_DEV_NULL, nullptr, nullptr, nullptr,
                     &raw)) {
    glib::Error error(raw);
    log::info(std::string("accessibility settings: ") + (error ? error->message : "spawn failed"));
  }
}

Subscription AtspiAccessibilityTrust::observeTrustChanges(std::function<void()> onChange) {
  auto bus = sessionBus();
  if (!bus) return {};
  auto watch = std::make_shared<Watch>();
  watch->onChange = std::move(onChange);
  auto* data = new std::shared_ptr<Watch>(watch);
  guint id = g_dbus_connection_signal_subscribe(
      bus.get(), kBusName, "org.freedesktop.DBus.Properties", "PropertiesChanged", kBusPath,
      kStatusInterface, G_DBUS_SIGNAL_FLAGS_NONE, &onPropertiesChanged, data,
      [](gpointer p) { delete static_cast<std::shared_ptr<Watch>*>(p); });
  GDBusConnection* raw = bus.release();  // the subscription keeps the connection
  return Subscription([raw, id, watch] {
    {
      std::lock_guard lock(watch->mutex);
      watch->onChange = nullptr;
    }
    g_dbus_connection_signal_unsubscribe(raw, id);
    g_object_unref(raw);
  });
}

}  // namespace nuv::linux_backend
