#include "platform/linux/bus/GDBusHostService.h"

#include <gio/gio.h>

#include <mutex>
#include <utility>

#include "platform/BusNames.h"
#include "platform/Log.h"
#include "platform/linux/bus/HostServiceSkeleton.h"  // generated from the interface XML

namespace nuv::linux_backend {
namespace {

constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";

}  // namespace

// The property values: replaced on the loop thread, read on GDBus's worker.
struct GDBusHostService::Values {
  explicit Values(const std::string& versionText)
      : version(g_variant_ref_sink(g_variant_new_string(versionText.c_str()))),
        devices_(g_variant_ref_sink(toVariantOfDictionaries(Dictionary()))) {}

  // A new reference to the map last set.
  glib::Variant devices() {
    std::lock_guard lock(mutex_);
    return glib::Variant(g_variant_ref(devices_.get()));
  }
  // Takes `value` (a{sa{sv}}, not floating).
  void setDevices(GVariant* value) {
    glib::Variant replaced(value);
    std::lock_guard lock(mutex_);
    devices_.swap(replaced);  // the old map is released after the lock
  }

  const glib::Variant version;  // s

 private:
  std::mutex mutex_;
  glib::Variant devices_;  // a{sa{sv}}
};

// What the skeleton's signals and the name's callbacks reach. They may come
// from an idle queued before the end, so `active` is checked first.
struct GDBusHostService::Publication {
  explicit Publication(Handlers h) : handlers(std::move(h)) {}
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

// Answers `invocation` once with `encode(value)`, from whichever copy is
// called first. A reply that never comes (the module ends first) fails the
// call instead of leaving the host to time out.
template <class T>
std::function<void(const T&)> replyOnce(GDBusMethodInvocation* invocation,
                                        GVariant* (*encode)(const T&)) {
  struct Pending {
    GDBusMethodInvocation* invocation;  // taken by the reply
    ~Pending() {
      if (invocation) {
        g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed",
                                                   "the module is stopping");
      }
    }
  };
  std::shared_ptr<Pending> pending(new Pending{invocation});
  return [pending, encode](const T& value) {
    if (auto* call = std::exchange(pending->invocation, nullptr)) {
      g_dbus_method_invocation_return_value(call, encode(value));
    }
  };
}

// handle-get-history, handle-get-history-devices and
// handle-get-health-history: answered when the history has been read, from
// the loop; the loop goes on meanwhile.
gboolean onGetHistory(NuvNUVModule1*, GDBusMethodInvocation* invocation, const gchar* device,
                      gint64 since, gpointer data) {
  auto reply = replyOnce(invocation, historyToVariant);
  const Shared& p = *static_cast<Shared*>(data);
  if (p->active && p->handlers.history) {
    p->handlers.history(device, Date::fromMicroseconds(since), std::move(reply));
  } else {
    reply({});
  }
  return TRUE;
}

gboolean onGetHistoryDevices(NuvNUVModule1*, GDBusMethodInvocation* invocation, gint64 since,
                             gpointer data) {
  auto reply = replyOnce(invocation, historyDevicesToVariant);
  const Shared& p = *static_cast<Shared*>(data);
  if (p->active && p->handlers.historyDevices) {
    p->handlers.historyDevices(Date::fromMicroseconds(since), std::move(reply));
  } else {
    reply({});
  }
  return TRUE;
}

gboolean onGetHealthHistory(NuvNUVModule1*, GDBusMethodInvocation* invocation, const gchar* device,
                            gint64 since, gpointer data) {
  auto reply = replyOnce(invocation, healthHistoryToVariant);
  const Shared& p = *static_cast<Shared*>(data);
  if (p->active && p->handlers.healthHistory) {
    p->handlers.healthHistory(device, Date::fromMicroseconds(since), std::move(reply));
  } else {
    reply({});
  }
  return TRUE;
}

void onNameLost(GDBusConnection* connection, const gchar*, gpointer data) {
  // A closed connection loses every name; that is the end of the bus, not
  // another process taking this one.
  if (!connection || g_dbus_connection_is_closed(connection)) return;
  const Shared& p = *static_cast<Shared*>(data);
  if (p->active && p->handlers.nameLost) p->handlers.nameLost();
}

// Property calls on the object, as GDBus's message filter: on its worker
// thread, as they arrive, so a read neither waits for the loop nor wakes it
// (at a hundred devices a read costs the module about 0.7 ms of CPU).
// Get and GetAll are answered from the values, a Set of a property gets the
// standard PropertyReadOnly (GDBus would say InvalidArgs); anything else
// (unknown names, wrong arguments) passes on to GDBus's own errors.
GDBusMessage* answerProperties(GDBusConnection* connection, GDBusMessage* message,
                               gboolean incoming, gpointer data) {
  if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL ||
      g_strcmp0(g_dbus_message_get_path(message), bus::kHostServicePath) != 0 ||
      g_strcmp0(g_dbus_message_get_interface(message), kPropertiesInterface) != 0) {
    return message;
  }
  const char* member = g_dbus_message_get_member(message);
  GVariant* args = g_dbus_message_get_body(message);
  const char* interface = nullptr;
  const char* name = nullptr;
  if (!args || !member) return message;
  if (g_str_equal(member, "GetAll") && g_variant_is_of_type(args, G_VARIANT_TYPE("(s)"))) {
    g_variant_get(args, "(&s)", &interface);
  } else if ((g_str_equal(member, "Get") && g_variant_is_of_type(args, G_VARIANT_TYPE("(ss)"))) ||
             (g_str_equal(member, "Set") && g_variant_is_of_type(args, G_VARIANT_TYPE("(ssv)")))) {
    g_variant_get_child(args, 0, "&s", &interface);
    g_variant_get_child(args, 1, "&s", &name);
    if (!g_dbus_interface_info_lookup_property(nuv_nuvmodule1_interface_info(), name)) {
      return message;
    }
  } else {
    return message;
  }
  if (!g_str_equal(interface, bus::kHostServiceInterface)) return message;

  glib::Object<GDBusMessage> reply;
  if (g_str_equal(member, "Set")) {
    reply.reset(g_dbus_message_new_method_error(
        message, "org.freedesktop.DBus.Error.PropertyReadOnly", "Property %s is read-only", name));
  } else {
    auto& values = *static_cast<std::shared_ptr<GDBusHostService::Values>*>(data);
    const glib::Variant devices = values->devices();
    reply.reset(g_dbus_message_new_method_reply(message));
    if (!name) {
      GVariantBuilder all;
      g_variant_builder_init(&all, G_VARIANT_TYPE("a{sv}"));
      g_variant_builder_add(&all, "{sv}", bus::kDevicesProperty, devices.get());
      g_variant_builder_add(&all, "{sv}", bus::kVersionProperty, values->version.get());
      g_dbus_message_set_body(reply.get(), g_variant_new("(a{sv})", &all));
    } else {
      const bool isDevices = g_str_equal(name, bus::kDevicesProperty);
      g_dbus_message_set_body(
          reply.get(), g_variant_new("(v)", isDevices ? devices.get() : values->version.get()));
    }
  }
  if (!(g_dbus_message_get_flags(message) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED)) {
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
      values_(std::make_shared<Values>(version_)) {}

GDBusHostService::~GDBusHostService() = default;

Subscription GDBusHostService::publish(Handlers handlers) {
  auto* skeleton = nuv_nuvmodule1_skeleton_new();
  nuv_nuvmodule1_set_version(skeleton, version_.c_str());
  auto publication = std::make_shared<Publication>(std::move(handlers));
  // One handle-* signal per method of the interface XML.
  g_signal_connect_data(skeleton, "handle-refresh", G_CALLBACK(onRefresh), new Shared(publication),
                        deleteShared, GConnectFlags(0));
  g_signal_connect_data(skeleton, "handle-get-history", G_CALLBACK(onGetHistory),
                        new Shared(publication), deleteShared, GConnectFlags(0));
  g_signal_connect_data(skeleton, "handle-get-history-devices", G_CALLBACK(onGetHistoryDevices),
                        new Shared(publication), deleteShared, GConnectFlags(0));
  g_signal_connect_data(skeleton, "handle-get-health-history", G_CALLBACK(onGetHealthHistory),
                        new Shared(publication), deleteShared, GConnectFlags(0));
  // Before the export and removed after it: while the object is there, the
  // filter answers every read.
  const guint filterId = g_dbus_connection_add_filter(
      connection_.get(), answerProperties, new std::shared_ptr<Values>(values_),
      [](gpointer data) { delete static_cast<std::shared_ptr<Values>*>(data); });
  GError* raw = nullptr;
  if (!g_dbus_interface_skeleton_export(G_DBUS_INTERFACE_SKELETON(skeleton), connection_.get(),
                                        bus::kHostServicePath, &raw)) {
    glib::Error error(raw);
    log::warning(std::string("cannot export ") + bus::kHostServicePath + ": " +
                 (error ? error->message : "unknown error"));
    g_dbus_connection_remove_filter(connection_.get(), filterId);
    g_object_unref(skeleton);
    return {};
  }
  const guint ownerId = g_bus_own_name_on_connection(
      connection_.get(), bus::kHostServiceName, G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, onNameLost,
      new Shared(publication), [](gpointer data) { delete static_cast<Shared*>(data); });

  published_ = publication;
  return Subscription([this, publication, skeleton, filterId, ownerId] {
    publication->active = false;
    if (published_ == publication) published_.reset();
    g_bus_unown_name(ownerId);
    g_dbus_interface_skeleton_unexport(G_DBUS_INTERFACE_SKELETON(skeleton));
    g_dbus_connection_remove_filter(connection_.get(), filterId);
    g_object_unref(skeleton);
  });
}

void GDBusHostService::setDevices(const Dictionary& devices) {
  values_->setDevices(g_variant_ref_sink(toVariantOfDictionaries(devices, encodedEntries_)));
}

void GDBusHostService::announceDevices() {
  if (!published_) return;
  GVariantBuilder changed;
  g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
  const glib::Variant devices = values_->devices();
  g_variant_builder_add(&changed, "{sv}", bus::kDevicesProperty, devices.get());
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
