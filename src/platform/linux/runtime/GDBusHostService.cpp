#include "platform/linux/runtime/GDBusHostService.h"

#include <gio/gio.h>

#include "platform/BusNames.h"
#include "platform/Log.h"
#include "platform/linux/runtime/GlibHandles.h"
#include "platform/linux/runtime/HostServiceXml.h"
#include "platform/linux/runtime/VariantCodec.h"

namespace nuv::linux_backend {
namespace {

struct NodeInfoUnref {
  void operator()(GDBusNodeInfo* info) const {
    if (info) g_dbus_node_info_unref(info);
  }
};

// The interface as installed; parsed once. Null only if the compiled-in XML
// were broken, which the tests rule out.
GDBusInterfaceInfo* interfaceInfo() {
  static const std::unique_ptr<GDBusNodeInfo, NodeInfoUnref> node = [] {
    GError* raw = nullptr;
    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(host_service::kIntrospectionXml, &raw);
    glib::Error error(raw);
    if (!info) log::error(std::string("host service interface XML: ") + error->message);
    return std::unique_ptr<GDBusNodeInfo, NodeInfoUnref>(info);
  }();
  return node ? g_dbus_node_info_lookup_interface(node.get(), bus::kHostServiceInterface) : nullptr;
}

}  // namespace

// What GDBus calls back into. GDBus may hold it past unpublishing (a call
// already queued to the loop), so it is shared and checks `active` first.
struct GDBusHostService::Publication {
  HostService::Handlers handlers;
  std::string version;
  bool active = true;

  // The map's a{sa{sv}}, kept until the map differs: building it costs about
  // ten times as much as building the map and comparing it, and hosts read
  // far more often than the map changes.
  Dictionary encodedDevices;
  glib::Variant encoded;

  GVariant* devicesVariant(Dictionary devices) {
    if (!encoded || devices != encodedDevices) {
      encoded.reset(g_variant_ref_sink(toVariantOfDictionaries(devices)));
      encodedDevices = std::move(devices);
    }
    return encoded.get();
  }
};

GDBusHostService::GDBusHostService(GDBusConnection* connection, std::string version)
    : connection_(G_DBUS_CONNECTION(g_object_ref(connection))), version_(std::move(version)) {}

GDBusHostService::~GDBusHostService() { g_object_unref(connection_); }

Subscription GDBusHostService::publish(Handlers handlers) {
  using Shared = std::shared_ptr<Publication>;
  GDBusInterfaceInfo* info = interfaceInfo();
  if (!info) return {};
  auto publication = std::make_shared<Publication>();
  publication->handlers = std::move(handlers);
  publication->version = version_;

  static const GDBusInterfaceVTable vtable = {
      // method_call: Refresh is the only method; GDBus refuses any other
      // against the interface info before it gets here.
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
         GDBusMethodInvocation* invocation, gpointer data) {
        const Shared& p = *static_cast<Shared*>(data);
        g_dbus_method_invocation_return_value(invocation, nullptr);
        if (p->active && p->handlers.refresh) p->handlers.refresh();
      },
      // get_property
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property,
         GError** error, gpointer data) -> GVariant* {
        const Shared& p = *static_cast<Shared*>(data);
        if (g_str_equal(property, bus::kVersionProperty)) {
          return g_variant_new_string(p->version.c_str());
        }
        if (g_str_equal(property, bus::kDevicesProperty)) {
          return g_variant_ref(p->devicesVariant(
              p->active && p->handlers.devices ? p->handlers.devices() : Dictionary()));
        }
        g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", property);
        return nullptr;
      },
      // set_property: every property is read-only; GDBus answers sets itself.
      nullptr,
      {}};
  GError* raw = nullptr;
  const guint objectId = g_dbus_connection_register_object(
      connection_, bus::kHostServicePath, info, &vtable, new Shared(publication),
      [](gpointer data) { delete static_cast<Shared*>(data); }, &raw);
  glib::Error error(raw);
  if (!objectId) {
    log::warning(std::string("cannot export ") + bus::kHostServicePath + ": " +
                 (error ? error->message : "unknown error"));
    return {};
  }

  const guint ownerId = g_bus_own_name_on_connection(
      connection_, bus::kHostServiceName, G_BUS_NAME_OWNER_FLAGS_NONE, nullptr,
      [](GDBusConnection* connection, const gchar*, gpointer data) {
        // A closed connection loses every name; that is the end of the bus,
        // not another process taking this one.
        if (!connection || g_dbus_connection_is_closed(connection)) return;
        const Shared& p = *static_cast<Shared*>(data);
        if (p->active && p->handlers.nameLost) p->handlers.nameLost();
      },
      new Shared(publication), [](gpointer data) { delete static_cast<Shared*>(data); });

  published_ = publication;
  GDBusConnection* connection = G_DBUS_CONNECTION(g_object_ref(connection_));
  return Subscription([this, publication, connection, objectId, ownerId] {
    publication->active = false;
    if (published_ == publication) published_.reset();
    g_bus_unown_name(ownerId);
    g_dbus_connection_unregister_object(connection, objectId);
    g_object_unref(connection);
  });
}

void GDBusHostService::devicesChanged(const Dictionary& devices) {
  if (!published_) return;
  GVariantBuilder changed;
  g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&changed, "{sv}", bus::kDevicesProperty,
                        published_->devicesVariant(devices));
  GError* raw = nullptr;
  if (!g_dbus_connection_emit_signal(
          connection_, nullptr, bus::kHostServicePath, "org.freedesktop.DBus.Properties",
          "PropertiesChanged",
          g_variant_new("(sa{sv}as)", bus::kHostServiceInterface, &changed, nullptr), &raw)) {
    glib::Error error(raw);
    log::warning(std::string("cannot announce the new device map: ") +
                 (error ? error->message : "unknown error"));
  }
}

}  // namespace nuv::linux_backend
