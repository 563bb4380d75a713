#pragma once

// The module's names on the session bus, for the module and for every program
// that talks to it (nuvctl, nuv-devices). Plain text, no bus library: both
// interfaces are installed as introspection XML
// (vemo.DistributedNotifications.xml, vemo.Tallyport.NUVModule1.xml), and
// hosts written against them must keep working, so none of these changes.
namespace nuv::bus {

// Distributed notifications. A notification named N is the signal
// kNotificationMember of kNotificationInterface on the object
// kNotificationPath, body (ssa{sv}): N, the sender object as text ("" for
// none), the user info. Observers match on arg0 = N, so the bus filters by
// name.
inline constexpr const char* kNotificationPath = "/vemo/DistributedNotifications";
inline constexpr const char* kNotificationInterface = "vemo.DistributedNotifications";
inline constexpr const char* kNotificationMember = "Notification";

// The whole device status map, posted by the module: user info = the map.
inline constexpr const char* kStackNotification = "iOSStack";
// Stops every running module of the session, at once.
inline constexpr const char* kKillNotification = "vemo.Tallyport.kill";
// The user has just signed in to the shared cloud (`nuvctl cloud login`): a
// running module fetches its records and sends its waiting writes now.
inline constexpr const char* kCloudSignedInNotification = "vemo.Tallyport.NUVModule.cloudSignedIn";

// The host service. The owner of kHostServiceName exports kHostServiceInterface
// at kHostServicePath; no owner means no module is running.
inline constexpr const char* kHostServiceName = "vemo.Tallyport.NUVModule";
inline constexpr const char* kHostServicePath = "/vemo/Tallyport/NUVModule";
inline constexpr const char* kHostServiceInterface = "vemo.Tallyport.NUVModule1";
// a{sa{sv}}, read-only: the map as the next kStackNotification carries it;
// PropertiesChanged goes out with every kStackNotification, never otherwise.
inline constexpr const char* kDevicesProperty = "Devices";
inline constexpr const char* kVersionProperty = "Version";  // s
inline constexpr const char* kRefreshMethod = "Refresh";    // () -> (): a probe run now
// (s device, x since) -> (a(xybb) samples, a(xx) gaps): one device's battery
// history since a date, and the times the module did not watch.
inline constexpr const char* kGetHistoryMethod = "GetHistory";
// (x since) -> (a(ss) devices): the devices with history since a date, present
// or not, as (Bonjour value, last known name).
inline constexpr const char* kGetHistoryDevicesMethod = "GetHistoryDevices";
// (s device, x since) -> (a(xiiii) rows): one device's battery health, one row
// a day, since a date, oldest first, as (time, cycle count, full-charge mAh,
// design mAh, maximum capacity %), -1 where a value is not known.
inline constexpr const char* kGetHealthHistoryMethod = "GetHealthHistory";

}  // namespace nuv::bus
