#include "HostClient.h"

#include <cstdio>

#include "WatchView.h"
#include "platform/BusNames.h"
#include "platform/linux/bus/VariantCodec.h"

namespace nuvctl {

namespace bus = nuv::bus;

HostClient::HostClient(const char* command) {
  GError* raw = nullptr;
  bus_.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
  nuv::glib::Error error(raw);
  if (!bus_) {
    std::fprintf(stderr, "nuvctl %s: cannot connect to the session bus: %s\n", command,
                 error ? error->message : "unknown error");
    return;
  }
  // A lost bus is reported by the commands that wait on it, never by exiting.
  g_dbus_connection_set_exit_on_close(bus_.get(), FALSE);
}

HostClient::Result HostClient::interpret(GVariant* reply, GError* callError, std::string* error) {
  if (reply) return Result::Ok;
  nuv::glib::String remote(callError ? g_dbus_error_get_remote_error(callError) : nullptr);
  if (remote && (g_str_equal(remote.get(), "org.freedesktop.DBus.Error.ServiceUnknown") ||
                 g_str_equal(remote.get(), "org.freedesktop.DBus.Error.NameHasNoOwner"))) {
    return Result::NoModule;
  }
  if (error) *error = callError ? callError->message : "no answer";
  return Result::Failed;
}

bool HostClient::succeeded(Result result, const char* command, const char* failure,
                           const std::string& error) {
  if (result == Result::NoModule) {
    std::fprintf(stderr, "nuvctl %s: %s\n", command, _(kNoModule));
  } else if (result == Result::Failed) {
    std::fprintf(stderr, "nuvctl %s: %s: %s\n", command, failure,
                 WatchView::displayText(error).c_str());
  }
  return result == Result::Ok;
}

HostClient::Result HostClient::call(const char* interface, const char* method, GVariant* parameters,
                                    const char* replyType, nuv::glib::Variant* reply,
                                    std::string* error) const {
  GError* raw = nullptr;
  // No auto-start: a module that is not running must not be started by a query.
  nuv::glib::Variant result(g_dbus_connection_call_sync(
      bus_.get(), bus::kHostServiceName, bus::kHostServicePath, interface, method, parameters,
      G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, &raw));
  nuv::glib::Error callError(raw);
  const Result outcome = interpret(result.get(), callError.get(), error);
  if (reply) *reply = std::move(result);
  return outcome;
}

HostClient::Result HostClient::devicesFromReply(GVariant* reply, GError* callError,
                                                StackPayload* payload, std::string* error) {
  const Result outcome = interpret(reply, callError, error);
  if (outcome != Result::Ok) return outcome;
  nuv::glib::Variant boxed(g_variant_get_child_value(reply, 0));
  nuv::glib::Variant devices(g_variant_get_variant(boxed.get()));
  auto decoded = StackPayload::fromDevices(devices.get(), error);
  if (!decoded) return Result::Failed;
  *payload = std::move(*decoded);
  return Result::Ok;
}

namespace {

GVariant* devicesGetParameters() {
  return g_variant_new("(ss)", bus::kHostServiceInterface, bus::kDevicesProperty);
}

}  // namespace

HostClient::Result HostClient::readDevices(StackPayload* payload, std::string* error) const {
  nuv::glib::Variant reply;
  const Result outcome =
      call("org.freedesktop.DBus.Properties", "Get", devicesGetParameters(), "(v)", &reply, error);
  if (outcome != Result::Ok) return outcome;
  return devicesFromReply(reply.get(), nullptr, payload, error);
}

void HostClient::readDevicesAsync(GAsyncReadyCallback done, gpointer data) const {
  g_dbus_connection_call(bus_.get(), bus::kHostServiceName, bus::kHostServicePath,
                         "org.freedesktop.DBus.Properties", "Get", devicesGetParameters(),
                         G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs,
                         nullptr, done, data);
}

HostClient::Result HostClient::refresh(std::string* error) const {
  return call(bus::kHostServiceInterface, bus::kRefreshMethod, nullptr, "()", nullptr, error);
}

HostClient::Result HostClient::history(const std::string& device, nuv::Date since,
                                       nuv::DeviceHistory* history, std::string* error) const {
  nuv::glib::Variant reply;
  const Result outcome =
      call(bus::kHostServiceInterface, bus::kGetHistoryMethod,
           g_variant_new("(sx)", device.c_str(), static_cast<gint64>(since.microseconds())),
           "(a(xybb)a(xx))", &reply, error);
  if (outcome != Result::Ok) return outcome;
  *history = *nuv::linux_backend::historyFromVariant(reply.get());
  return Result::Ok;
}

HostClient::Result HostClient::healthHistory(const std::string& device, nuv::Date since,
                                             std::vector<nuv::HealthReading>* rows,
                                             std::string* error) const {
  nuv::glib::Variant reply;
  const Result outcome =
      call(bus::kHostServiceInterface, bus::kGetHealthHistoryMethod,
           g_variant_new("(sx)", device.c_str(), static_cast<gint64>(since.microseconds())),
           "(a(xiiii))", &reply, error);
  if (outcome != Result::Ok) return outcome;
  *rows = *nuv::linux_backend::healthHistoryFromVariant(reply.get());
  return Result::Ok;
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

}  // namespace nuvctl
