#include "platform/linux/runtime/GDBusHostService.h"

#include <gio/gio.h>

#include <mutex>

#include "platform/BusNames.h"
#include "platform/Log.h"
#include "platform/linux/runtime/GlibHandles.h"
#include "platform/linux/runtime/HostServiceXml.h"
#include "platform/linux/runtime/VariantCodec.h"

namespace nuv::linux_backend {
namespace {

constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";

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

GVariant* sunk(GVariant* value) { return g_variant_ref_sink(value); }

}  // namespace

// The property values, built once per map and shared with GDBus's worker
// thread. A read is the service's hot path (hosts read far more often than the
// map changes, and a hundred devices' a{sa{sv}} takes about half a
// millisecond to build), so the worker answers Properties.Get and GetAll from
// here as the calls arrive: no map is built or compared per read, and a read
// neither waits for the loop nor wakes it. Everything else (Refresh, the
// errors for unknown properties, sets and methods, Introspect) goes the usual
// way through the object's registration on the loop.
//
// Threading: the loop thread replaces `devices`; the worker thread only takes
// references under the mutex. The values are immutable GVariants, kept in the
// tree form the builder gives: GDBus still marshals the body for every reply
// (it has no way to send bytes marshalled earlier), and a serialised normal
// form marshals no faster. A reply's (v) or (a{sv}) wrapper is built per
// read, which costs about a hundredth of marshalling the map; building it per
// change instead would cost every broadcast as much.
struct GDBusHostService::Properties {
  std::mutex mutex;
  bool published = false;
  const glib::Variant version;  // s
  glib::Variant devices;        // a{sa{sv}}

  explicit Properties(const std::string& versionText)
      : version(sunk(g_variant_new_string(versionText.c_str()))),
        devices(sunk(toVariantOfDictionaries(Dictionary()))) {}

  // Takes `value` (a{sa{sv}}, not floating).
  void setDevices(GVariant* value) {
    glib::Variant replaced(value);
    std::lock_guard lock(mutex);
    devices.swap(replaced);  // the old value leaves after the lock
  }

  // A property's value (a new reference), or null for an unknown name.
  GVariant* property(const char* name) {
    if (g_str_equal(name, bus::kVersionProperty)) return g_variant_ref(version.get());
    if (!g_str_equal(name, bus::kDevicesProperty)) return nullptr;
    std::lock_guard lock(mutex);
    return g_variant_ref(devices.get());
  }

  // The reply body for a Properties call with arguments `args` while
  // published, or null when the call is not a read of this interface.
  glib::Variant replyFor(const char* member, GVariant* args) {
    if (!member || !args) return nullptr;
    const char* interface = nullptr;
    const char* name = nullptr;
    const bool get =
        g_str_equal(member, "Get") && g_variant_is_of_type(args, G_VARIANT_TYPE("(ss)"));
    const bool getAll =
        g_str_equal(member, "GetAll") && g_variant_is_of_type(args, G_VARIANT_TYPE("(s)"));
    if (get) g_variant_get(args, "(&s&s)", &interface, &name);
    if (getAll) g_variant_get(args, "(&s)", &interface);
    if (!interface || !g_str_equal(interface, bus::kHostServiceInterface)) return nullptr;
    glib::Variant devicesNow;
    {
      std::lock_guard lock(mutex);
      if (!published) return nullptr;
      devicesNow.reset(g_variant_ref(devices.get()));
    }
    if (getAll) {
      GVariantBuilder all;
      g_variant_builder_init(&all, G_VARIANT_TYPE("a{sv}"));
      g_variant_builder_add(&all, "{sv}", bus::kDevicesProperty, devicesNow.get());
      g_variant_builder_add(&all, "{sv}", bus::kVersionProperty, version.get());
      return glib::Variant(sunk(g_variant_new("(a{sv})", &all)));
    }
    if (g_str_equal(name, bus::kDevicesProperty)) {
      return glib::Variant(sunk(g_variant_new("(v)", devicesNow.get())));
    }
    if (g_str_equal(name, bus::kVersionProperty)) {
      return glib::Variant(sunk(g_variant_new("(v)", version.get())));
    }
    return nullptr;  // unknown: GDBus answers with its error
  }
};

namespace {

using SharedProperties = std::shared_ptr<GDBusHostService::Properties>;

// GDBus's message filter, on its worker thread: answers the property reads
// from the shared values and drops them from the usual dispatch; passes
// everything else on untouched.
GDBusMessage* answerReads(GDBusConnection* connection, GDBusMessage* message, gboolean incoming,
                          gpointer data) {
  if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL ||
      g_strcmp0(g_dbus_message_get_path(message), bus::kHostServicePath) != 0 ||
      g_strcmp0(g_dbus_message_get_interface(message), kPropertiesInterface) != 0) {
    return message;
  }
  const SharedProperties& properties = *static_cast<SharedProperties*>(data);
  glib::Variant body =
      properties->replyFor(g_dbus_message_get_member(message), g_dbus_message_get_body(message));
  if (!body) return message;
  if (!(g_dbus_message_get_flags(message) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED)) {
    glib::Object<GDBusMessage> reply(g_dbus_message_new_method_reply(message));
    g_dbus_message_set_body(reply.get(), body.get());
    // Queued to the worker, which writes it once this filter returns.
    g_dbus_connection_send_message(connection, reply.get(), G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr,
                                   nullptr);
  }
  g_object_unref(message);
  return nullptr;
}

}  // namespace

// What the object's registration calls back into. GDBus may hold it past
// unpublishing (a call already queued to the loop), so it is shared and
// checks `active` first.
struct GDBusHostService::Publication {
  HostService::Handlers handlers;
  SharedProperties properties;
  bool active = true;
};

GDBusHostService::GDBusHostService(GDBusConnection* connection, std::string version)
    : connection_(G_DBUS_CONNECTION(g_object_ref(connection))),
      properties_(std::make_shared<Properties>(version)) {}

GDBusHostService::~GDBusHostService() { g_object_unref(connection_); }

Subscription GDBusHostService::publish(Handlers handlers) {
  using Shared = std::shared_ptr<Publication>;
  GDBusInterfaceInfo* info = interfaceInfo();
  if (!info) return {};
  auto publication = std::make_shared<Publication>();
  publication->handlers = std::move(handlers);
  publication->properties = properties_;

  static const GDBusInterfaceVTable vtable = {
      // method_call: Refresh is the only method; GDBus refuses any other
      // against the interface info before it gets here.
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
         GDBusMethodInvocation* invocation, gpointer data) {
        const Shared& p = *static_cast<Shared*>(data);
        g_dbus_method_invocation_return_value(invocation, nullptr);
        if (p->active && p->handlers.refresh) p->handlers.refresh();
      },
      // get_property: the reads that the filter left to the registration
      // (while it is being added or removed), from the same values.
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property,
         GError** error, gpointer data) -> GVariant* {
        const Shared& p = *static_cast<Shared*>(data);
        if (GVariant* value = p->properties->property(property)) return value;
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
  const guint filterId = g_dbus_connection_add_filter(
      connection_, &answerReads, new SharedProperties(properties_),
      [](gpointer data) { delete static_cast<SharedProperties*>(data); });
  {
    std::lock_guard lock(properties_->mutex);
    properties_->published = true;
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
  return Subscription([this, publication, connection, objectId, filterId, ownerId] {
    publication->active = false;
    if (published_ == publication) published_.reset();
    {
      std::lock_guard lock(publication->properties->mutex);
      publication->properties->published = false;
    }
    g_dbus_connection_remove_filter(connection, filterId);
    g_bus_unown_name(ownerId);
    g_dbus_connection_unregister_object(connection, objectId);
    g_object_unref(connection);
  });
}

void GDBusHostService::setDevices(const Dictionary& devices) {
  properties_->setDevices(sunk(toVariantOfDictionaries(devices, encodedEntries_)));
}

void GDBusHostService::announceDevices() {
  if (!published_) return;
  GVariantBuilder changed;
  g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
  glib::Variant devices(properties_->property(bus::kDevicesProperty));
  g_variant_builder_add(&changed, "{sv}", bus::kDevicesProperty, devices.get());
  GError* raw = nullptr;
  if (!g_dbus_connection_emit_signal(
          connection_, nullptr, bus::kHostServicePath, kPropertiesInterface, "PropertiesChanged",
          g_variant_new("(sa{sv}as)", bus::kHostServiceInterface, &changed, nullptr), &raw)) {
    glib::Error error(raw);
    log::warning(std::string("cannot announce the new device map: ") +
                 (error ? error->message : "unknown error"));
  }
}

}  // namespace nuv::linux_backend
