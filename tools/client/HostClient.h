#pragma once

#include <glib/gi18n.h>

#include <string>

#include "StackPayload.h"
#include "platform/HistoryStore.h"
#include "platform/linux/GlibHandles.h"

namespace nuvctl {

// nuvctl's end of the session bus: the connection, and calls to the module's
// host service (vemo.Tallyport.NUVModule1 under the name
// vemo.Tallyport.NUVModule). No owner of that name means no module is running.
class HostClient {
 public:
  enum class Result { Ok, NoModule, Failed };

  // Shown translated: _(kNoModule).
  static constexpr const char* kNoModule = N_("no module is running");
  // How long a call may take before it counts as failed.
  static constexpr int kCallTimeoutMs = 5000;

  // Connects to the session bus. On failure prints
  // "nuvctl <command>: cannot connect to the session bus: ..." and returns
  // a client without a connection.
  explicit HostClient(const char* command);

  explicit operator bool() const { return static_cast<bool>(bus_); }
  GDBusConnection* bus() const { return bus_.get(); }

  // Reads the Devices property into `payload`.
  Result readDevices(StackPayload* payload, std::string* error) const;
  // Starts reading Devices; `done` gets the connection's reply to
  // g_dbus_connection_call_finish and `data` (see devicesFromReply).
  void readDevicesAsync(GAsyncReadyCallback done, gpointer data) const;
  // Calls Refresh().
  Result refresh(std::string* error) const;
  // Calls GetHistory: `device`'s samples since `since` and the gaps.
  Result history(const std::string& device, nuv::Date since, nuv::DeviceHistory* history,
                 std::string* error) const;
  // Calls GetHealthHistory: `device`'s health rows since `since`, oldest first.
  Result healthHistory(const std::string& device, nuv::Date since,
                       std::vector<nuv::HealthReading>* rows, std::string* error) const;
  // Calls GetHistoryDevices: the devices with history since `since`.
  Result historyDevices(nuv::Date since, std::vector<nuv::HistoryDevice>* devices,
                        std::string* error) const;

  // Says whether `result` is Ok; otherwise reports it on standard error as
  // "nuvctl <command>: no module is running" or "nuvctl <command>:
  // <failure>: <error>".
  static bool succeeded(Result result, const char* command, const char* failure,
                        const std::string& error);

  // The outcome of a Devices read, from its reply (null with `callError` set
  // when the call failed). Sets `error` on Failed.
  static Result devicesFromReply(GVariant* reply, GError* callError, StackPayload* payload,
                                 std::string* error);

 private:
  static Result interpret(GVariant* reply, GError* callError, std::string* error);
  Result call(const char* interface, const char* method, GVariant* parameters,
              const char* replyType, nuv::glib::Variant* reply, std::string* error) const;

  nuv::glib::Object<GDBusConnection> bus_;
};

}  // namespace nuvctl
