#include "HostClient.h"

#include <cstdio>

#include "DeviceStatus.h"
#include "platform/linux/bus/VariantCodec.h"

namespace nuvclient {

namespace bus = nuv::bus;

namespace {

constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";

constexpr const char* kHistoryReply = "(a(xybb)a(xx))";
constexpr const char* kHealthReply = "(a(xiiii))";

GVariant* devicesGetParameters() {
  return g_variant_new("(ss)", bus::kHostServiceInterface, bus::kDevicesProperty);
}

GVariant* historyParameters(const std::string& device, nuv::Date since) {
  return g_variant_new("(sx)", device.c_str(), static_cast<gint64>(since.microseconds()));
}

}  // namespace

HostClient::HostClient(GDBusConnection* bus, const std::string& destination, int timeoutMs)
    : bus_(bus ? G_DBUS_CONNECTION(g_object_ref(bus)) : nullptr),
      destination_(destination),
      timeoutMs_(timeoutMs) {}

HostClient HostClient::onSessionBus(const char* who) {
  GError* raw = nullptr;
  nuv::glib::Object<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
  nuv::glib::Error error(raw);
  if (!bus) {
    // TRANSLATORS: the command ("nuvctl status"), then the reason.
    std::fprintf(stderr, _("%s: cannot connect to the session bus: %s\n"), who,
                 error ? error->message : _("unknown error"));
  } else {
    // A lost bus is reported by the commands that wait on it, never by exiting.
    g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
  }
  return HostClient(bus.get());
}

HostClient::Result HostClient::interpret(GVariant* reply, GError* callError, std::string* error) {
  if (reply) return Result::Ok;
  // A call whose cancellable was cancelled finishes so even when its reply
  // had already come: GTask checks the cancellable first.
  if (callError && g_error_matches(callError, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
    return Result::Cancelled;
  }
  nuv::glib::String remote(callError ? g_dbus_error_get_remote_error(callError) : nullptr);
  if (remote && (g_str_equal(remote.get(), "org.freedesktop.DBus.Error.ServiceUnknown") ||
                 g_str_equal(remote.get(), "org.freedesktop.DBus.Error.NameHasNoOwner"))) {
    return Result::NoModule;
  }
  if (error) *error = callError ? callError->message : _("no answer");
  return Result::Failed;
}

bool HostClient::succeeded(Result result, const char* who, const char* failure,
                           const std::string& error) {
  if (result == Result::NoModule) {
    std::fprintf(stderr, "%s: %s\n", who, _(kNoModule));
  } else if (result != Result::Ok) {
    std::fprintf(stderr, "%s: %s: %s\n", who, failure, DeviceStatus::displayText(error).c_str());
  }
  return result == Result::Ok;
}

HostClient::Result HostClient::call(const char* interface, const char* method, GVariant* parameters,
                                    const char* replyType, nuv::glib::Variant* reply,
                                    std::string* error) const {
  GError* raw = nullptr;
  nuv::glib::Variant result(g_dbus_connection_call_sync(
      bus_.get(), destination_.c_str(), bus::kHostServicePath, interface, method, parameters,
      G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs_, nullptr, &raw));
  nuv::glib::Error callError(raw);
  const Result outcome = interpret(result.get(), callError.get(), error);
  if (reply) *reply = std::move(result);
  return outcome;
}

void HostClient::callAsync(const char* interface, const char* method, GVariant* parameters,
                           const char* replyType, GCancellable* cancellable,
                           GAsyncReadyCallback done, gpointer data) const {
  g_dbus_connection_call(bus_.get(), destination_.c_str(), bus::kHostServicePath, interface, method,
                         parameters, G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NO_AUTO_START,
                         timeoutMs_, cancellable, done, data);
}

HostClient::Result HostClient::finish(GObject* bus, GAsyncResult* result, nuv::glib::Variant* reply,
                                      std::string* error) {
  GError* raw = nullptr;
  reply->reset(g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, &raw));
  nuv::glib::Error callError(raw);
  return interpret(reply->get(), callError.get(), error);
}

nuv::glib::Variant HostClient::unboxed(const nuv::glib::Variant& reply) {
  nuv::glib::Variant boxed(g_variant_get_child_value(reply.get(), 0));
  return nuv::glib::Variant(g_variant_get_variant(boxed.get()));
}

HostClient::Result HostClient::decode(Result outcome, const nuv::glib::Variant& devices,
                                      StackPayload* payload, std::string* error) {
  if (outcome != Result::Ok) return outcome;
  auto decoded = StackPayload::fromDevices(devices.get(), error);
  if (!decoded) return Result::Failed;
  *payload = std::move(*decoded);
  return Result::Ok;
}

HostClient::Result HostClient::readDevices(StackPayload* payload, std::string* error) const {
  nuv::glib::Variant reply, devices;
  const Result outcome =
      call(kPropertiesInterface, "Get", devicesGetParameters(), "(v)", &reply, error);
  if (outcome == Result::Ok) devices = unboxed(reply);
  return decode(outcome, devices, payload, error);
}

void HostClient::readDevicesAsync(GAsyncReadyCallback done, gpointer data,
                                  GCancellable* cancellable) const {
  callAsync(kPropertiesInterface, "Get", devicesGetParameters(), "(v)", cancellable, done, data);
}

HostClient::Result HostClient::finishDevices(GObject* bus, GAsyncResult* result,
                                             nuv::glib::Variant* devices, std::string* error) {
  nuv::glib::Variant reply;
  const Result outcome = finish(bus, result, &reply, error);
  if (outcome == Result::Ok) *devices = unboxed(reply);
  return outcome;
}

HostClient::Result HostClient::finishDevices(GObject* bus, GAsyncResult* result,
                                             StackPayload* payload, std::string* error) {
  nuv::glib::Variant devices;
  const Result outcome = finishDevices(bus, result, &devices, error);
  return decode(outcome, devices, payload, error);
}

HostClient::Result HostClient::refresh(std::string* error) const {
  return call(bus::kHostServiceInterface, bus::kRefreshMethod, nullptr, "()", nullptr, error);
}

void HostClient::refreshAsync(GAsyncReadyCallback done, gpointer data,
                              GCancellable* cancellable) const {
  callAsync(bus::kHostServiceInterface, bus::kRefreshMethod, nullptr, "()", cancellable, done,
            data);
}

HostClient::Result HostClient::finishRefresh(GObject* bus, GAsyncResult* result,
                                             std::string* error) {
  nuv::glib::Variant reply;
  return finish(bus, result, &reply, error);
}

HostClient::Result HostClient::history(const std::string& device, nuv::Date since,
                                       nuv::DeviceHistory* history, std::string* error) const {
  nuv::glib::Variant reply;
  const Result outcome = call(bus::kHostServiceInterface, bus::kGetHistoryMethod,
                              historyParameters(device, since), kHistoryReply, &reply, error);
  // The reply's type was checked by the connection.
  if (outcome == Result::Ok) *history = *nuv::linux_backend::historyFromVariant(reply.get());
  return outcome;
}

void HostClient::historyAsync(const std::string& device, nuv::Date since, GAsyncReadyCallback done,
                              gpointer data, GCancellable* cancellable) const {
  callAsync(bus::kHostServiceInterface, bus::kGetHistoryMethod, historyParameters(device, since),
            kHistoryReply, cancellable, done, data);
}

HostClient::Result HostClient::finishHistory(GObject* bus, GAsyncResult* result,
                                             nuv::DeviceHistory* history, std::string* error) {
  nuv::glib::Variant reply;
  const Result outcome = finish(bus, result, &reply, error);
  if (outcome == Result::Ok) *history = *nuv::linux_backend::historyFromVariant(reply.get());
  return outcome;
}

HostClient::Result HostClient::healthHistory(const std::string& device, nuv::Date since,
                                             std::vector<nuv::HealthReading>* rows,
                                             std::string* error) const {
  nuv::glib::Variant reply;
  const Result outcome = call(bus::kHostServiceInterface, bus::kGetHealthHistoryMethod,
                              historyParameters(device, since), kHealthReply, &reply, error);
  if (outcome == Result::Ok) *rows = *nuv::linux_backend::healthHistoryFromVariant(reply.get());
  return outcome;
}

void HostClient::healthHistoryAsync(const std::string& device, nuv::Date since,
                                    GAsyncReadyCallback done, gpointer data,
                                    GCancellable* cancellable) const {
  callAsync(bus::kHostServiceInterface, bus::kGetHealthHistoryMethod,
            historyParameters(device, since), kHealthReply, cancellable, done, data);
}

HostClient::Result HostClient::finishHealthHistory(GObject* bus, GAsyncResult* result,
                                                   std::vector<nuv::HealthReading>* rows,
                                                   std::string* error) {
  nuv::glib::Variant reply;
  const Result outcome = finish(bus, result, &reply, error);
  if (outcome == Result::Ok) *rows = *nuv::linux_backend::healthHistoryFromVariant(reply.get());
  return outcome;
}

HostClient::Result HostClient::historyDevices(nuv::Date since,
                                              std::vector<nuv::HistoryDevice>* devices,
                                              std::string* error) const {
  nuv::glib::Variant reply;
  const Result outcome = call(bus::kHostServiceInterface, bus::kGetHistoryDevicesMethod,
                              g_variant_new("(x)", static_cast<gint64>(since.microseconds())),
                              "(a(ss))", &reply, error);
  if (outcome != Result::Ok) return outcome;
  *devices = *nuv::linux_backend::historyDevicesFromVariant(reply.get());
  return Result::Ok;
}

bool HostClient::requestStop(std::string* error) const {
  GVariantBuilder noUserInfo;
  g_variant_builder_init(&noUserInfo, G_VARIANT_TYPE("a{sv}"));
  GVariant* body = g_variant_new("(ssa{sv})", bus::kKillNotification, "", &noUserInfo);
  GError* raw = nullptr;
  if (g_dbus_connection_emit_signal(bus_.get(), nullptr, bus::kNotificationPath,
                                    bus::kNotificationInterface, bus::kNotificationMember, body,
                                    &raw)) {
    return true;
  }
  nuv::glib::Error callError(raw);
  if (error) *error = callError ? callError->message : _("unknown error");
  return false;
}

}  // namespace nuvclient
