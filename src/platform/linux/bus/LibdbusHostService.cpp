#include "platform/linux/bus/LibdbusHostService.h"

#include <dbus/dbus.h>
#include <gio/gio.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/BusNames.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "platform/linux/GlibHandles.h"
#include "platform/linux/bus/HostServiceXml.h"
#include "platform/linux/runtime/UniqueFd.h"

namespace nuv::linux_backend {
namespace {

struct MessageUnref {
  void operator()(DBusMessage* message) const {
    if (message) dbus_message_unref(message);
  }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

// Owns a DBusError's message.
struct BusError : DBusError {
  BusError() { dbus_error_init(this); }
  ~BusError() { dbus_error_free(this); }
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  std::string text() const { return dbus_error_is_set(this) ? message : "unknown error"; }
};

constexpr const char* kStandardInterfaces =
    "  <interface name=\"org.freedesktop.DBus.Properties\">\n"
    "    <method name=\"Get\">\n"
    "      <arg type=\"s\" name=\"interface_name\" direction=\"in\"/>\n"
    "      <arg type=\"s\" name=\"property_name\" direction=\"in\"/>\n"
    "      <arg type=\"v\" name=\"value\" direction=\"out\"/>\n"
    "    </method>\n"
    "    <method name=\"GetAll\">\n"
    "      <arg type=\"s\" name=\"interface_name\" direction=\"in\"/>\n"
    "      <arg type=\"a{sv}\" name=\"properties\" direction=\"out\"/>\n"
    "    </method>\n"
    "    <method name=\"Set\">\n"
    "      <arg type=\"s\" name=\"interface_name\" direction=\"in\"/>\n"
    "      <arg type=\"s\" name=\"property_name\" direction=\"in\"/>\n"
    "      <arg type=\"v\" name=\"value\" direction=\"in\"/>\n"
    "    </method>\n"
    "    <signal name=\"PropertiesChanged\">\n"
    "      <arg type=\"s\" name=\"interface_name\"/>\n"
    "      <arg type=\"a{sv}\" name=\"changed_properties\"/>\n"
    "      <arg type=\"as\" name=\"invalidated_properties\"/>\n"
    "    </signal>\n"
    "  </interface>\n"
    "  <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "    <method name=\"Introspect\">\n"
    "      <arg type=\"s\" name=\"xml_data\" direction=\"out\"/>\n"
    "    </method>\n"
    "  </interface>\n"
    "  <interface name=\"org.freedesktop.DBus.Peer\">\n"
    "    <method name=\"Ping\"/>\n"
    "    <method name=\"GetMachineId\">\n"
    "      <arg type=\"s\" name=\"machine_uuid\" direction=\"out\"/>\n"
    "    </method>\n"
    "  </interface>\n";

// The object's introspection: the standard interfaces and the installed one,
// word for word from the compiled-in XML. Built once.
const std::string& objectXml() {
  static const std::string xml = [] {
    GError* raw = nullptr;
    glib::NodeInfo node(g_dbus_node_info_new_for_xml(host_service::kIntrospectionXml, &raw));
    glib::Error error(raw);
    GString* out = g_string_new(DBUS_INTROSPECT_1_0_XML_DOCTYPE_DECL_NODE "<node>\n");
    g_string_append(out, kStandardInterfaces);
    if (!node) log::error(std::string("host service interface XML: ") + error->message);
    GDBusInterfaceInfo* info =
        node ? g_dbus_node_info_lookup_interface(node.get(), bus::kHostServiceInterface) : nullptr;
    if (info) g_dbus_interface_info_generate_xml(info, 2, out);
    g_string_append(out, "</node>\n");
    std::string text(out->str, out->len);
    g_string_free(out, TRUE);
    return text;
  }();
  return xml;
}

bool equal(const char* a, const char* b) { return a && b && std::strcmp(a, b) == 0; }

// `message` as a libdbus message with the same bytes: GDBus marshals it (the
// codec that every other map of the module goes through), libdbus checks and
// keeps the bytes, and each copy of it costs a memcpy. Null, logged, if either
// refuses it. Serial 0, as a copy's: the connection numbers it when sent.
Message marshalled(GDBusMessage* message) {
  // A placeholder: libdbus reads no message without a serial.
  g_dbus_message_set_serial(message, 1);
  gsize size = 0;
  GError* raw = nullptr;
  glib::String blob(reinterpret_cast<gchar*>(
      g_dbus_message_to_blob(message, &size, G_DBUS_CAPABILITY_FLAGS_NONE, &raw)));
  glib::Error error(raw);
  if (!blob) {
    log::warning(std::string("cannot marshal a host service message: ") + error->message);
    return nullptr;
  }
  BusError refused;
  Message out(dbus_message_demarshal(blob.get(), static_cast<int>(size), &refused));
  if (!out) {
    log::warning("cannot marshal a host service message: " + refused.text());
    return nullptr;
  }
  return Message(dbus_message_copy(out.get()));
}

// A method return (reply serial to be set per call) carrying `body`.
Message marshalledReply(GVariant* body) {
  glib::Object<GDBusMessage> reply(g_dbus_message_new());
  g_dbus_message_set_message_type(reply.get(), G_DBUS_MESSAGE_TYPE_METHOD_RETURN);
  g_dbus_message_set_reply_serial(reply.get(), 1);
  g_dbus_message_set_body(reply.get(), body);
  return marshalled(reply.get());
}

}  // namespace

// The property values, shared by the loop thread (which replaces the map)
// and the service thread (which marshals it when it is read or announced).
struct LibdbusHostService::Values {
  std::mutex mutex;
  glib::Variant devices;         // a{sa{sv}}, the map last set
  std::uint64_t generation = 0;  // counts the maps set
  const std::string version;

  explicit Values(std::string versionText)
      : devices(g_variant_ref_sink(toVariantOfDictionaries(Dictionary()))),
        version(std::move(versionText)) {}

  // (a new reference to the map, its generation)
  std::pair<glib::Variant, std::uint64_t> current() {
    std::lock_guard lock(mutex);
    return {glib::Variant(g_variant_ref(devices.get())), generation};
  }
};

// One publication: the connection and the thread that serves it.
struct LibdbusHostService::Service {
  RunLoop& loop;
  const std::string address;
  const std::shared_ptr<Values> values;
  std::weak_ptr<Service> self;

  // Loop thread only.
  Handlers handlers;

  // From the loop thread to the service thread, under `mutex`; `wake` tells.
  std::mutex mutex;
  std::deque<glib::Variant> announcements;  // one PropertiesChanged each
  bool stopping = false;
  UniqueFd wake{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};

  // Service thread only.
  DBusConnection* connection = nullptr;
  std::vector<DBusWatch*> watches;
  // A reply marshalled once per map, copied for every read of that map.
  struct Template {
    Message message;
    std::uint64_t generation = 0;
  };
  Template devicesReply, allReply;

  std::thread thread;

  Service(RunLoop& l, std::string a, std::shared_ptr<Values> v, Handlers h)
      : loop(l), address(std::move(a)), values(std::move(v)), handlers(std::move(h)) {}

  // Loop thread.
  void wakeUp() {
    const std::uint64_t one = 1;
    (void)!::write(wake.get(), &one, sizeof one);
  }
  void stop() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    wakeUp();
    thread.join();
  }

  // Service thread.
  void run();
  bool connect();
  void disconnect();
  bool connected() const { return connection && dbus_connection_get_is_connected(connection); }
  void send(DBusMessage* message);
  void reply(DBusMessage* call, Message answer);
  void replyError(DBusMessage* call, const char* name, const std::string& text);
  void announce(GVariant* devices);
  Message copyOf(Template& kind, bool all, DBusMessage* call);
  DBusHandlerResult handle(DBusMessage* call);
  DBusHandlerResult handleProperties(DBusMessage* call, const char* member);
  DBusHandlerResult handleAncestor(DBusMessage* call);
  DBusHandlerResult filter(DBusMessage* message);
  // An object vtable that hands every call on its path to `Handle`.
  template <DBusHandlerResult (Service::*Handle)(DBusMessage*)>
  static const DBusObjectPathVTable* vtable() {
    static const DBusObjectPathVTable table = [] {
      DBusObjectPathVTable t{};
      t.message_function = [](DBusConnection*, DBusMessage* call, void* data) {
        return (static_cast<Service*>(data)->*Handle)(call);
      };
      return t;
    }();
    return &table;
  }
  // Runs `handler` on the loop thread, unless the publication has ended by
  // then (which destroys the Service).
  void toLoop(std::function<void()> Handlers::*handler);
};

void LibdbusHostService::Service::toLoop(std::function<void()> Handlers::*handler) {
  loop.post([weak = self, handler] {
    auto service = weak.lock();
    if (service && service->handlers.*handler) (service->handlers.*handler)();
  });
}

bool LibdbusHostService::Service::connect() {
  BusError error;
  connection = dbus_connection_open_private(address.c_str(), &error);
  if (!connection || !dbus_bus_register(connection, &error)) {
    log::warning("the host service cannot reach the session bus: " + error.text());
    disconnect();
    return false;
  }
  // The module's GDBus connection notices a lost bus and ends the module;
  // libdbus would otherwise _exit() here first.
  dbus_connection_set_exit_on_disconnect(connection, FALSE);
  dbus_connection_set_watch_functions(
      connection,
      [](DBusWatch* watch, void* data) -> dbus_bool_t {
        static_cast<Service*>(data)->watches.push_back(watch);
        return TRUE;
      },
      [](DBusWatch* watch, void* data) {
        auto& watches = static_cast<Service*>(data)->watches;
        watches.erase(std::remove(watches.begin(), watches.end(), watch), watches.end());
      },
      // The loop reads each watch's state before every poll.
      nullptr, this, nullptr);
  dbus_connection_add_filter(
      connection,
      [](DBusConnection*, DBusMessage* message, void* data) {
        return static_cast<Service*>(data)->filter(message);
      },
      this, nullptr);
  if (!dbus_connection_register_object_path(connection, bus::kHostServicePath,
                                            vtable<&Service::handle>(), this) ||
      !dbus_connection_register_fallback(connection, "/", vtable<&Service::handleAncestor>(),
                                         this)) {
    log::warning(std::string("cannot export ") + bus::kHostServicePath);
    disconnect();
    return false;
  }
  // Without replacement: a second module queues and waits for the name.
  const int owner = dbus_bus_request_name(connection, bus::kHostServiceName, 0, &error);
  if (owner == DBUS_REQUEST_NAME_REPLY_IN_QUEUE) {
    toLoop(&Handlers::nameLost);
  } else if (owner < 0) {
    log::warning(std::string("cannot ask for ") + bus::kHostServiceName + ": " + error.text());
  }
  return true;
}

void LibdbusHostService::Service::disconnect() {
  if (!connection) return;
  if (dbus_connection_get_is_connected(connection)) dbus_connection_flush(connection);
  dbus_connection_close(connection);
  dbus_connection_unref(connection);
  connection = nullptr;
  watches.clear();
  devicesReply = {};
  allReply = {};
}

void LibdbusHostService::Service::run() {
  connect();
  std::vector<pollfd> fds;
  std::vector<DBusWatch*> polled;
  for (;;) {
    if (connection) {
      while (dbus_connection_dispatch(connection) == DBUS_DISPATCH_DATA_REMAINS) {
      }
    }
    std::deque<glib::Variant> queued;
    bool stop = false;
    {
      std::lock_guard lock(mutex);
      queued.swap(announcements);
      stop = stopping;
    }
    for (const auto& devices : queued) announce(devices.get());
    if (stop) break;

    fds.assign(1, pollfd{wake.get(), POLLIN, 0});
    polled.clear();
    // libdbus drops a closed connection's watches; should one stay, its
    // hang-up must not spin this thread.
    if (connected()) {
      for (DBusWatch* watch : watches) {
        if (!dbus_watch_get_enabled(watch)) continue;
        const unsigned flags = dbus_watch_get_flags(watch);
        const short events = static_cast<short>(((flags & DBUS_WATCH_READABLE) ? POLLIN : 0) |
                                                ((flags & DBUS_WATCH_WRITABLE) ? POLLOUT : 0));
        fds.push_back(pollfd{dbus_watch_get_unix_fd(watch), events, 0});
        polled.push_back(watch);
      }
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      log::warning(std::string("host service: poll failed: ") + std::strerror(errno));
      break;
    }
    if (fds[0].revents) {
      std::uint64_t count;
      (void)!::read(wake.get(), &count, sizeof count);
    }
    for (size_t i = 0; i < polled.size(); ++i) {
      const short revents = fds[i + 1].revents;
      // Handling one watch may remove another (a hang-up removes both).
      if (!revents || std::find(watches.begin(), watches.end(), polled[i]) == watches.end()) {
        continue;
      }
      const unsigned flags = ((revents & POLLIN) ? DBUS_WATCH_READABLE : 0) |
                             ((revents & POLLOUT) ? DBUS_WATCH_WRITABLE : 0) |
                             ((revents & POLLHUP) ? DBUS_WATCH_HANGUP : 0) |
                             ((revents & POLLERR) ? DBUS_WATCH_ERROR : 0);
      dbus_watch_handle(polled[i], flags);
    }
  }
  disconnect();
}

void LibdbusHostService::Service::send(DBusMessage* message) {
  if (connected()) dbus_connection_send(connection, message, nullptr);
}

void LibdbusHostService::Service::reply(DBusMessage* call, Message answer) {
  if (answer && !dbus_message_get_no_reply(call)) send(answer.get());
}

void LibdbusHostService::Service::replyError(DBusMessage* call, const char* name,
                                             const std::string& text) {
  reply(call, Message(dbus_message_new_error(call, name, text.c_str())));
}

Message LibdbusHostService::Service::copyOf(Template& kind, bool all, DBusMessage* call) {
  auto [devices, generation] = values->current();
  if (!kind.message || kind.generation != generation) {
    GVariant* body;
    if (all) {
      GVariantBuilder properties;
      g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
      g_variant_builder_add(&properties, "{sv}", bus::kDevicesProperty, devices.get());
      g_variant_builder_add(&properties, "{sv}", bus::kVersionProperty,
                            g_variant_new_string(values->version.c_str()));
      body = g_variant_new("(a{sv})", &properties);
    } else {
      body = g_variant_new("(v)", devices.get());
    }
    kind.message = marshalledReply(body);
    kind.generation = generation;
    if (!kind.message) return nullptr;
  }
  Message copy(dbus_message_copy(kind.message.get()));
  if (!copy) return nullptr;
  dbus_message_set_reply_serial(copy.get(), dbus_message_get_serial(call));
  if (const char* sender = dbus_message_get_sender(call)) {
    dbus_message_set_destination(copy.get(), sender);
  }
  return copy;
}

void LibdbusHostService::Service::announce(GVariant* devices) {
  if (!connected()) return;
  glib::Object<GDBusMessage> signal(g_dbus_message_new_signal(
      bus::kHostServicePath, DBUS_INTERFACE_PROPERTIES, "PropertiesChanged"));
  GVariantBuilder changed;
  g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&changed, "{sv}", bus::kDevicesProperty, devices);
  g_dbus_message_set_body(
      signal.get(), g_variant_new("(sa{sv}as)", bus::kHostServiceInterface, &changed, nullptr));
  if (Message message = marshalled(signal.get())) send(message.get());
}

DBusHandlerResult LibdbusHostService::Service::handle(DBusMessage* call) {
  if (dbus_message_get_type(call) != DBUS_MESSAGE_TYPE_METHOD_CALL) {
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
  }
  const char* interface = dbus_message_get_interface(call);
  const char* member = dbus_message_get_member(call);
  if (equal(interface, DBUS_INTERFACE_PROPERTIES)) return handleProperties(call, member);
  if (equal(interface, DBUS_INTERFACE_INTROSPECTABLE) && equal(member, "Introspect") &&
      dbus_message_has_signature(call, "")) {
    Message answer(dbus_message_new_method_return(call));
    const char* xml = objectXml().c_str();
    if (answer) dbus_message_append_args(answer.get(), DBUS_TYPE_STRING, &xml, DBUS_TYPE_INVALID);
    reply(call, std::move(answer));
    return DBUS_HANDLER_RESULT_HANDLED;
  }
  if ((!interface || equal(interface, bus::kHostServiceInterface)) &&
      equal(member, bus::kRefreshMethod)) {
    if (!dbus_message_has_signature(call, "")) {
      replyError(call, DBUS_ERROR_INVALID_ARGS, "Refresh takes no arguments");
      return DBUS_HANDLER_RESULT_HANDLED;
    }
    // Answered first: the host never waits for the run.
    reply(call, Message(dbus_message_new_method_return(call)));
    toLoop(&Handlers::refresh);
    return DBUS_HANDLER_RESULT_HANDLED;
  }
  return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;  // libdbus answers UnknownMethod
}

DBusHandlerResult LibdbusHostService::Service::handleProperties(DBusMessage* call,
                                                                const char* member) {
  const bool get = equal(member, "Get"), getAll = equal(member, "GetAll"),
             set = equal(member, "Set");
  if (!get && !getAll && !set) return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
  const char* interface = nullptr;
  const char* name = nullptr;
  const bool argsFit = (get && dbus_message_has_signature(call, "ss")) ||
                       (getAll && dbus_message_has_signature(call, "s")) ||
                       (set && dbus_message_has_signature(call, "ssv"));
  if (!argsFit || !dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &interface,
                                         getAll ? DBUS_TYPE_INVALID : DBUS_TYPE_STRING, &name,
                                         DBUS_TYPE_INVALID)) {
    replyError(call, DBUS_ERROR_INVALID_ARGS, std::string("wrong arguments for ") + member);
    return DBUS_HANDLER_RESULT_HANDLED;
  }
  if (!equal(interface, bus::kHostServiceInterface)) {
    replyError(call, DBUS_ERROR_INVALID_ARGS, std::string("No such interface ") + interface);
    return DBUS_HANDLER_RESULT_HANDLED;
  }
  if (getAll) {
    reply(call, copyOf(allReply, true, call));
    return DBUS_HANDLER_RESULT_HANDLED;
  }
  const bool devices = equal(name, bus::kDevicesProperty);
  const bool version = equal(name, bus::kVersionProperty);
  if (!devices && !version) {
    replyError(call, DBUS_ERROR_INVALID_ARGS, std::string("No such property ") + name);
  } else if (set) {
    replyError(call, DBUS_ERROR_PROPERTY_READ_ONLY,
               std::string("Property ") + name + " is read-only");
  } else if (devices) {
    reply(call, copyOf(devicesReply, false, call));
  } else {
    Message answer(dbus_message_new_method_return(call));
    DBusMessageIter args, variant;
    const char* text = values->version.c_str();
    if (answer) {
      dbus_message_iter_init_append(answer.get(), &args);
      dbus_message_iter_open_container(&args, DBUS_TYPE_VARIANT, "s", &variant);
      dbus_message_iter_append_basic(&variant, DBUS_TYPE_STRING, &text);
      dbus_message_iter_close_container(&args, &variant);
    }
    reply(call, std::move(answer));
  }
  return DBUS_HANDLER_RESULT_HANDLED;
}

// Introspection of the object's ancestors ("/", "/vemo", ...), so that
// browsers and `gdbus introspect --recurse` find the object from the root.
DBusHandlerResult LibdbusHostService::Service::handleAncestor(DBusMessage* call) {
  if (!dbus_message_is_method_call(call, DBUS_INTERFACE_INTROSPECTABLE, "Introspect") ||
      !dbus_message_has_signature(call, "")) {
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
  }
  const std::string path = dbus_message_get_path(call) ? dbus_message_get_path(call) : "";
  const std::string prefix = path == "/" ? path : path + "/";
  const std::string object = bus::kHostServicePath;
  if (object.compare(0, prefix.size(), prefix) != 0) return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
  const std::string child =
      object.substr(prefix.size(), object.find('/', prefix.size()) - prefix.size());
  const std::string xml = std::string(DBUS_INTROSPECT_1_0_XML_DOCTYPE_DECL_NODE "<node>\n") +
                          "  <node name=\"" + child + "\"/>\n</node>\n";
  Message answer(dbus_message_new_method_return(call));
  const char* text = xml.c_str();
  if (answer) dbus_message_append_args(answer.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
  reply(call, std::move(answer));
  return DBUS_HANDLER_RESULT_HANDLED;
}

DBusHandlerResult LibdbusHostService::Service::filter(DBusMessage* message) {
  // The bus took the name away (it only can if a release let another in
  // first); a closed connection is the end of the bus, not this.
  const char* name = nullptr;
  if (dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameLost") &&
      dbus_message_has_sender(message, DBUS_SERVICE_DBUS) &&
      dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID) &&
      equal(name, bus::kHostServiceName) && connected()) {
    toLoop(&Handlers::nameLost);
  }
  return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

LibdbusHostService::LibdbusHostService(RunLoop& loop, std::string address, std::string version)
    : loop_(loop), address_(std::move(address)), values_(std::make_shared<Values>(version)) {
  dbus_threads_init_default();
}

LibdbusHostService::~LibdbusHostService() = default;

Subscription LibdbusHostService::publish(Handlers handlers) {
  auto service = std::make_shared<Service>(loop_, address_, values_, std::move(handlers));
  if (!service->wake) {
    log::warning(std::string("host service: no eventfd: ") + std::strerror(errno));
    return {};
  }
  service->self = service;
  service->thread = std::thread([raw = service.get()] { raw->run(); });
  published_ = service;
  return Subscription([this, service] {
    if (published_ == service) published_.reset();
    service->stop();
  });
}

void LibdbusHostService::setDevices(const Dictionary& devices) {
  glib::Variant value(g_variant_ref_sink(toVariantOfDictionaries(devices, encodedEntries_)));
  std::lock_guard lock(values_->mutex);
  values_->devices.swap(value);  // the old map leaves after the lock
  ++values_->generation;
}

void LibdbusHostService::announceDevices() {
  if (!published_) return;
  glib::Variant devices = values_->current().first;
  {
    std::lock_guard lock(published_->mutex);
    published_->announcements.push_back(std::move(devices));
  }
  published_->wakeUp();
}

}  // namespace nuv::linux_backend
