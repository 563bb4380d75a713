#include "platform/linux/bus/GDBusHostService.h"

#include <gio/gio.h>

#include "platform/BusNames.h"
#include "platform/Log.h"
#include "platform/linux/bus/HostServiceSkeleton.h"  // generated from the interface XML

namespace nuv::linux_backend {
namespace {

constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";

// The generated skeleton, with Devices read from the service's map instead of
// from a GObject property: setting that property would have the skeleton
// compare the maps and send PropertiesChanged on an idle of its own, also
// for changes that are not announced. Version and the method dispatch stay
// the generated ones.
struct NuvHostServiceSkeleton {
  NuvNUVModule1Skeleton parent;
  // The service's map while published, else null. Loop thread only.
  const glib::Variant* devices;
};
struct NuvHostServiceSkeletonClass {
  NuvNUVModule1SkeletonClass parent;
};
G_DEFINE_TYPE(NuvHostServiceSkeleton, nuv_host_service_skeleton, NUV_TYPE_NUVMODULE1_SKELETON)

const GDBusInterfaceVTable* generatedVtable(GDBusInterfaceSkeleton* skeleton) {
  return G_DBUS_INTERFACE_SKELETON_CLASS(nuv_host_service_skeleton_parent_class)
      ->get_vtable(skeleton);
}

// Properties.Get and each value of GetAll, on the loop.
GVariant* getProperty(GDBusConnection* connection, const gchar* sender, const gchar* path,
                      const gchar* interface, const gchar* name, GError** error, gpointer data) {
  auto* self = reinterpret_cast<NuvHostServiceSkeleton*>(data);
  if (!g_str_equal(name, bus::kDevicesProperty)) {
    return generatedVtable(G_DBUS_INTERFACE_SKELETON(self))
        ->get_property(connection, sender, path, interface, name, error, data);
  }
  if (!self->devices) {
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT, "the service has ended");
    return nullptr;
  }
  return g_variant_ref(self->devices->get());  // the map as built once, never copied
}

GDBusInterfaceVTable* getVtable(GDBusInterfaceSkeleton* skeleton) {
  static GDBusInterfaceVTable vtable = [skeleton] {
    GDBusInterfaceVTable v = *generatedVtable(skeleton);
    v.get_property = getProperty;
    return v;
  }();
  return &vtable;
}

void nuv_host_service_skeleton_class_init(NuvHostServiceSkeletonClass* klass) {
  G_DBUS_INTERFACE_SKELETON_CLASS(klass)->get_vtable = getVtable;
}
void nuv_host_service_skeleton_init(NuvHostServiceSkeleton* self) { self->devices = nullptr; }

}  // namespace

// What the skeleton's signals and the name's callbacks reach. They may come
// from an idle queued before the end, so `active` is checked first.
struct GDBusHostService::Publication {
  Handlers handlers;
  bool active = true;
};

namespace {

using Shared = std::shared_ptr<GDBusHostService::Publication>;

void deleteShared(gpointer data, GClosure*) { delete static_cast<Shared*>(data); }

// handle-refresh: answered first, so the host never waits for the run.
gboolean onRefresh(NuvNUVModule1* object, GDBusMethodInvocation* invocation, gpointer data) {
  nuv_nuvmodule1_complete_refresh(object, invocation);
  const Shared& p = *static_cast<Shared*>(data);
  if (p->active && p->handlers.refresh) p->handlers.refresh();
  return TRUE;
}

void onNameLost(GDBusConnection* connection, const gchar*, gpointer data) {
  // A closed connection loses every name; that is the end of the bus, not
  // another process taking this one.
  if (!connection || g_dbus_connection_is_closed(connection)) return;
  const Shared& p = *static_cast<Shared*>(data);
  if (p->active && p->handlers.nameLost) p->handlers.nameLost();
}

// GDBus answers a Set of a read-only property with InvalidArgs; hosts get
// the standard PropertyReadOnly instead. A message filter, so on GDBus's
// worker thread: it reads only the message.
GDBusMessage* refuseSets(GDBusConnection* connection, GDBusMessage* message, gboolean incoming,
                         gpointer) {
  if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL ||
      g_strcmp0(g_dbus_message_get_member(message), "Set") != 0 ||
      g_strcmp0(g_dbus_message_get_interface(message), kPropertiesInterface) != 0 ||
      g_strcmp0(g_dbus_message_get_path(message), bus::kHostServicePath) != 0) {
    return message;
  }
  GVariant* args = g_dbus_message_get_body(message);
  const char* interface = nullptr;
  const char* name = nullptr;
  if (!args || !g_variant_is_of_type(args, G_VARIANT_TYPE("(ssv)"))) return message;
  g_variant_get(args, "(&s&s@v)", &interface, &name, nullptr);
  if (!g_str_equal(interface, bus::kHostServiceInterface) ||
      !g_dbus_interface_info_lookup_property(nuv_nuvmodule1_interface_info(), name)) {
    return message;  // GDBus's own error for what does not exist
  }
  if (!(g_dbus_message_get_flags(message) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED)) {
    glib::Object<GDBusMessage> reply(g_dbus_message_new_method_error(
        message, "org.freedesktop.DBus.Error.PropertyReadOnly", "Property %s is read-only", name));
    g_dbus_connection_send_message(connection, reply.get(), G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr,
                                   nullptr);
  }
  g_object_unref(message);
  return nullptr;
}

}  // namespace

GDBusHostService::GDBusHostService(GDBusConnection* connection, std::string version)
    : connection_(G_DBUS_CONNECTION(g_object_ref(connection))),
      version_(std::move(version)),
      devices_(g_variant_ref_sink(toVariantOfDictionaries(Dictionary()))) {}

GDBusHostService::~GDBusHostService() = default;

Subscription GDBusHostService::publish(Handlers handlers) {
  auto* skeleton = static_cast<NuvHostServiceSkeleton*>(
      g_object_new(nuv_host_service_skeleton_get_type(), nullptr));
  auto* generated = G_DBUS_INTERFACE_SKELETON(skeleton);
  nuv_nuvmodule1_set_version(NUV_NUVMODULE1(skeleton), version_.c_str());
  skeleton->devices = &devices_;
  auto publication = std::make_shared<Publication>(std::move(handlers));
  // One handle-* signal per method of the interface XML.
  g_signal_connect_data(skeleton, "handle-refresh", G_CALLBACK(onRefresh), new Shared(publication),
                        deleteShared, GConnectFlags(0));

  GError* raw = nullptr;
  if (!g_dbus_interface_skeleton_export(generated, connection_.get(), bus::kHostServicePath,
                                        &raw)) {
    glib::Error error(raw);
    log::warning(std::string("cannot export ") + bus::kHostServicePath + ": " +
                 (error ? error->message : "unknown error"));
    g_object_unref(skeleton);
    return {};
  }
  const guint filterId =
      g_dbus_connection_add_filter(connection_.get(), refuseSets, nullptr, nullptr);
  const guint ownerId = g_bus_own_name_on_connection(
      connection_.get(), bus::kHostServiceName, G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, onNameLost,
      new Shared(publication), [](gpointer data) { delete static_cast<Shared*>(data); });

  published_ = publication;
  return Subscription([this, publication, skeleton, filterId, ownerId] {
    publication->active = false;
    if (published_ == publication) published_.reset();
    g_bus_unown_name(ownerId);
    g_dbus_connection_remove_filter(connection_.get(), filterId);
    skeleton->devices = nullptr;
    g_dbus_interface_skeleton_unexport(G_DBUS_INTERFACE_SKELETON(skeleton));
    g_object_unref(skeleton);
  });
}

void GDBusHostService::setDevices(const Dictionary& devices) {
  devices_.reset(g_variant_ref_sink(toVariantOfDictionaries(devices, encodedEntries_)));
}

void GDBusHostService::announceDevices() {
  if (!published_) return;
  GVariantBuilder changed;
  g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&changed, "{sv}", bus::kDevicesProperty, devices_.get());
  GError* raw = nullptr;
  if (!g_dbus_connection_emit_signal(
          connection_.get(), nullptr, bus::kHostServicePath, kPropertiesInterface,
          "PropertiesChanged",
          g_variant_new("(sa{sv}as)", bus::kHostServiceInterface, &changed, nullptr), &raw)) {
    glib::Error error(raw);
    log::warning(std::string("cannot announce the new device map: ") +
                 (error ? error->message : "unknown error"));
  }
}

}  // namespace nuv::linux_backend
