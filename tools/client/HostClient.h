#pragma once

#include <glib/gi18n.h>

#include <string>
#include <vector>

#include "StackPayload.h"
#include "platform/BusNames.h"
#include "platform/HistoryStore.h"
#include "platform/linux/GlibHandles.h"

namespace nuvclient {

// Calls to the module's host service (vemo.Tallyport.NUVModule1 at the
// service's path), synchronous for a command that waits for the answer,
// asynchronous for a program with a loop, and the kill notification. A call
// never starts a module: no owner of the destination means none is running.
//
// The asynchronous calls hand their result to `done` on the thread whose
// main context was the default when they were started; the finish* functions
// read it. Thread: any, one call at a time per client object.
class HostClient {
 public:
  enum class Result { Ok, NoModule, Failed, Cancelled };

  // Shown translated: _(kNoModule).
  static constexpr const char* kNoModule = N_("no module is running");
  // How long a call may take before it counts as failed.
  static constexpr int kCallTimeoutMs = 5000;

  // Calls over `bus` (referenced) to `destination`: the service's
  // well-known name, that is whichever module owns it at the time of each
  // call, or one owner's unique name.
  explicit HostClient(GDBusConnection* bus,
                      const std::string& destination = nuv::bus::kHostServiceName,
                      int timeoutMs = kCallTimeoutMs);
  // A client on the session bus. When the bus cannot be reached, prints
  // "<who>: cannot connect to the session bus: ..." and gives a client
  // without a connection.
  static HostClient onSessionBus(const char* who);

  explicit operator bool() const { return static_cast<bool>(bus_); }
  GDBusConnection* bus() const { return bus_.get(); }

  // Reads the Devices property into `payload`.
  Result readDevices(StackPayload* payload, std::string* error) const;
  void readDevicesAsync(GAsyncReadyCallback done, gpointer data,
                        GCancellable* cancellable = nullptr) const;
  // The outcome of readDevicesAsync, decoded into `payload`; a map of the
  // wrong shape is Failed, with the reason in `error`.
  static Result finishDevices(GObject* bus, GAsyncResult* result, StackPayload* payload,
                              std::string* error);
  // The same with the value left undecoded (a{sa{sv}}), for a caller that
  // decodes only the newest of several.
  static Result finishDevices(GObject* bus, GAsyncResult* result, nuv::glib::Variant* devices,
                              std::string* error);

  // Calls Refresh().
  Result refresh(std::string* error) const;
  void refreshAsync(GAsyncReadyCallback done, gpointer data,
                    GCancellable* cancellable = nullptr) const;
  static Result finishRefresh(GObject* bus, GAsyncResult* result, std::string* error);

  // Calls GetHistory: `device`'s samples since `since` and the gaps.
  Result history(const std::string& device, nuv::Date since, nuv::DeviceHistory* history,
                 std::string* error) const;
  void historyAsync(const std::string& device, nuv::Date since, GAsyncReadyCallback done,
                    gpointer data, GCancellable* cancellable = nullptr) const;
  static Result finishHistory(GObject* bus, GAsyncResult* result, nuv::DeviceHistory* history,
                              std::string* error);
  // Calls GetHealthHistory: `device`'s health rows since `since`, oldest first.
  Result healthHistory(const std::string& device, nuv::Date since,
                       std::vector<nuv::HealthReading>* rows, std::string* error) const;
  void healthHistoryAsync(const std::string& device, nuv::Date since, GAsyncReadyCallback done,
                          gpointer data, GCancellable* cancellable = nullptr) const;
  static Result finishHealthHistory(GObject* bus, GAsyncResult* result,
                                    std::vector<nuv::HealthReading>* rows, std::string* error);
  // Calls GetHistoryDevices: the devices with history since `since`.
  Result historyDevices(nuv::Date since, std::vector<nuv::HistoryDevice>* devices,
                        std::string* error) const;

  // Posts the kill notification, which stops every running module. The
  // connection writes it at once; a caller about to exit flushes.
  bool requestStop(std::string* error) const;

  // Says whether `result` is Ok; otherwise reports it on standard error as
  // "<who>: no module is running" or "<who>: <failure>: <error>", in the
  // user's language (`failure` comes translated).
  static bool succeeded(Result result, const char* who, const char* failure,
                        const std::string& error);

 private:
  static Result interpret(GVariant* reply, GError* callError, std::string* error);
  static Result finish(GObject* bus, GAsyncResult* result, nuv::glib::Variant* reply,
                       std::string* error);
  // The Devices value of a Get reply, (v).
  static nuv::glib::Variant unboxed(const nuv::glib::Variant& reply);
  static Result decode(Result outcome, const nuv::glib::Variant& devices, StackPayload* payload,
                       std::string* error);
  Result call(const char* interface, const char* method, GVariant* parameters,
              const char* replyType, nuv::glib::Variant* reply, std::string* error) const;
  void callAsync(const char* interface, const char* method, GVariant* parameters,
                 const char* replyType, GCancellable* cancellable, GAsyncReadyCallback done,
                 gpointer data) const;

  nuv::glib::Object<GDBusConnection> bus_;
  std::string destination_;
  int timeoutMs_;
};

}  // namespace nuvclient
