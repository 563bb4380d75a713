#include "LockdownFactsSource.h"

#include <libimobiledevice/diagnostics_relay.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <plist/plist.h>
#include <usbmuxd.h>

#include <cstdlib>
#include <memory>

#include "BatteryRegistryEntry.h"
#include "PlistValues.h"

namespace nuv::linux_backend {
namespace {

using plistv::boolValue;
using plistv::integerValue;
using plistv::Plist;
using plistv::stringValue;

constexpr const char* kLabel = "devInfo.NUVModule";

struct DeviceFree {
  void operator()(idevice_t d) const {
    if (d) idevice_free(d);
  }
};
struct LockdownFree {
  void operator()(lockdownd_client_t c) const {
    if (c) lockdownd_client_free(c);
  }
};
struct CFree {
  void operator()(void* p) const { std::free(p); }
};
struct DeviceListFree {
  void operator()(idevice_info_t* list) const {
    if (list) idevice_device_list_extended_free(list);
  }
};

struct ServiceFree {
  void operator()(lockdownd_service_descriptor_t s) const {
    if (s) lockdownd_service_descriptor_free(s);
  }
};
struct RelayFree {
  void operator()(diagnostics_relay_client_t c) const {
    if (c) diagnostics_relay_client_free(c);
  }
};

using Device = std::unique_ptr<std::remove_pointer_t<idevice_t>, DeviceFree>;
using Lockdown = std::unique_ptr<std::remove_pointer_t<lockdownd_client_t>, LockdownFree>;
using CString = std::unique_ptr<char, CFree>;
using Service = std::unique_ptr<std::remove_pointer_t<lockdownd_service_descriptor_t>, ServiceFree>;
using Relay = std::unique_ptr<std::remove_pointer_t<diagnostics_relay_client_t>, RelayFree>;

// The connection itself failed, as opposed to lockdown declining a value.
bool transportFailure(lockdownd_error_t e) {
  return e == LOCKDOWN_E_PLIST_ERROR || e == LOCKDOWN_E_SSL_ERROR ||
         e == LOCKDOWN_E_RECEIVE_TIMEOUT || e == LOCKDOWN_E_MUX_ERROR ||
         e == LOCKDOWN_E_UNKNOWN_ERROR;
}

std::optional<std::string> lockdownString(lockdownd_client_t client, const char* key,
                                          lockdownd_error_t* status = nullptr) {
  plist_t raw = nullptr;
  const lockdownd_error_t e = lockdownd_get_value(client, nullptr, key, &raw);
  Plist value(raw);
  if (status) *status = e;
  if (e != LOCKDOWN_E_SUCCESS) return std::nullopt;
  return stringValue(value.get());
}

// The HostID of the pair record usbmuxd keeps for this device, if any. Reading
// it never involves the device.
std::optional<std::string> pairedHostId(const std::string& udid) {
  char* data = nullptr;
  uint32_t size = 0;
  if (usbmuxd_read_pair_record(udid.c_str(), &data, &size) < 0 || !data) {
    std::free(data);
    return std::nullopt;
  }
  CString owned(data);
  plist_t raw = nullptr;
  plist_from_memory(data, size, &raw);
  Plist record(raw);
  if (!record || plist_get_node_type(record.get()) != PLIST_DICT) return std::nullopt;
  return stringValue(plist_dict_get_item(record.get(), "HostID"));
}

// The battery's registry entry through the diagnostics relay, started by the
// session's own lockdown client: the library's one-call start would open a
// second lockdown client that pairs when it finds no pair record. Any refusal
// or failure is simply no answer: `facts` keeps no health and no reading.
void readRelay(idevice_t device, lockdownd_client_t client, DeviceFacts& facts) {
  lockdownd_service_descriptor_t rawService = nullptr;
  const lockdownd_error_t started =
      lockdownd_start_service(client, DIAGNOSTICS_RELAY_SERVICE_NAME, &rawService);
  Service service(rawService);
  if (started != LOCKDOWN_E_SUCCESS || !service) return;
  diagnostics_relay_client_t rawRelay = nullptr;
  if (diagnostics_relay_client_new(device, service.get(), &rawRelay) !=
      DIAGNOSTICS_RELAY_E_SUCCESS) {
    return;
  }
  Relay relay(rawRelay);
  const std::pair<const char*, const char*> queries[] = {
      {BatteryRegistryEntry::kEntryName, nullptr}, {nullptr, BatteryRegistryEntry::kEntryClass}};
  for (const auto& [name, entryClass] : queries) {
    plist_t raw = nullptr;
    const auto asked =
        diagnostics_relay_query_ioregistry_entry(relay.get(), name, entryClass, &raw);
    Plist answer(raw);
    if (asked == DIAGNOSTICS_RELAY_E_SUCCESS) {
      facts.health = BatteryRegistryEntry::health(answer.get());
      facts.reading = BatteryRegistryEntry::reading(answer.get());
    }
    // A connection that broke will not answer the second question either.
    if (facts.health || facts.reading || asked == DIAGNOSTICS_RELAY_E_MUX_ERROR ||
        asked == DIAGNOSTICS_RELAY_E_PLIST_ERROR)
      break;
  }
  // The device may have closed the relay after its answer: the goodbye then
  // fails (SIGPIPE is ignored), which changes nothing.
  diagnostics_relay_goodbye(relay.get());
}

}  // namespace

std::optional<std::vector<DeviceCandidate>> LockdownFactsSource::listDevices(std::string* error) {
  idevice_info_t* raw = nullptr;
  int count = 0;
  // Fails at once when usbmuxd cannot be reached; no device is a success.
  if (idevice_get_device_list_extended(&raw, &count) != IDEVICE_E_SUCCESS) {
    const char* address = std::getenv("USBMUXD_SOCKET_ADDRESS");
    if (error) {
      *error = std::string("usbmuxd is not running (nothing answers at ") +
               (address && *address ? address : "/var/run/usbmuxd") + ")";
    }
    return std::nullopt;
  }
  std::unique_ptr<idevice_info_t, DeviceListFree> list(raw);
  std::vector<DeviceCandidate> out;
  for (int i = 0; i < count && raw; ++i) {
    if (!raw[i] || !raw[i]->udid) continue;
    out.push_back({raw[i]->udid, raw[i]->conn_type == CONNECTION_NETWORK ? DeviceConnection::Network
                                                                         : DeviceConnection::Usb});
  }
  return out;
}

std::optional<DeviceFacts> LockdownFactsSource::readFacts(const DeviceCandidate& device,
                                                          const RelayGate& askRelay,
                                                          std::string* error) {
  const auto lookup =
      device.connection == DeviceConnection::Usb ? IDEVICE_LOOKUP_USBMUX : IDEVICE_LOOKUP_NETWORK;
  idevice_t rawDevice = nullptr;
  if (idevice_new_with_options(&rawDevice, device.udid.c_str(), lookup) != IDEVICE_E_SUCCESS) {
    if (error) *error = "device not found (it may have been detached)";
    return std::nullopt;
  }
  Device handle(rawDevice);

  // Without handshake: this opens lockdown but never pairs.
  lockdownd_client_t rawClient = nullptr;
  const lockdownd_error_t opened = lockdownd_client_new(handle.get(), &rawClient, kLabel);
  Lockdown client(rawClient);
  if (opened != LOCKDOWN_E_SUCCESS || !client) {
    if (error) *error = "cannot talk to lockdown (error " + std::to_string(opened) + ")";
    return std::nullopt;
  }

  DeviceFacts facts;
  lockdownd_error_t status = LOCKDOWN_E_SUCCESS;
  facts.name = lockdownString(client.get(), "DeviceName", &status);
  if (transportFailure(status)) {
    // A report without the name would look like a changed device to the
    // module; report nothing for this device instead.
    if (error) *error = "lockdown did not answer (error " + std::to_string(status) + ")";
    return std::nullopt;
  }
  facts.productType = lockdownString(client.get(), "ProductType");

  const auto hostId = pairedHostId(device.udid);
  if (!hostId) return facts;  // never paired with this computer
  char* rawSession = nullptr;
  if (lockdownd_start_session(client.get(), hostId->c_str(), &rawSession, nullptr) !=
      LOCKDOWN_E_SUCCESS) {
    std::free(rawSession);
    return facts;  // pairing revoked, or the device is locked since boot
  }
  CString session(rawSession);
  facts.trusted = true;

  plist_t rawBattery = nullptr;
  const lockdownd_error_t domain =
      lockdownd_get_value(client.get(), "com.apple.mobile.battery", nullptr, &rawBattery);
  Plist battery(rawBattery);
  if (transportFailure(domain)) {
    // A trusted report without its battery would read as a device that lost
    // its values, down to a level of 0 in its cloud record.
    if (error) *error = "lockdown did not answer (error " + std::to_string(domain) + ")";
    return std::nullopt;
  }
  if (domain == LOCKDOWN_E_SUCCESS) {
    if (battery && plist_get_node_type(battery.get()) == PLIST_DICT) {
      facts.batteryLevel =
          integerValue(plist_dict_get_item(battery.get(), "BatteryCurrentCapacity"));
      facts.charging = boolValue(plist_dict_get_item(battery.get(), "BatteryIsCharging"));
      facts.externalConnected = boolValue(plist_dict_get_item(battery.get(), "ExternalConnected"));
      facts.fullyCharged = boolValue(plist_dict_get_item(battery.get(), "FullyCharged"));
    }
  }
  // A name hidden before the session may be given inside it.
  if (!facts.name) facts.name = lockdownString(client.get(), "DeviceName");
  if (askRelay && askRelay(facts)) readRelay(handle.get(), client.get(), facts);
  if (session) lockdownd_stop_session(client.get(), session.get());
  return facts;
}

}  // namespace nuv::linux_backend
