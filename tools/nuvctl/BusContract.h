#pragma once

// How NUVModule's distributed notifications travel on the session bus: the
// signal `Notification` of this interface at this path, body (ssa{sv}) =
// name, sender object ("" for none), user info. Observers match on arg0.
namespace nuvctl {

inline constexpr const char* kBusObjectPath = "/vemo/DistributedNotifications";
inline constexpr const char* kBusInterface = "vemo.DistributedNotifications";
inline constexpr const char* kBusMember = "Notification";

inline constexpr const char* kStackNotification = "iOSStack";
inline constexpr const char* kKillNotification = "vemo.Tallyport.kill";

// The module's host service: the owner of this name exports the object with
// the read-only property `Devices` (a{sa{sv}}, the device status map; its
// PropertiesChanged goes out with every "iOSStack"), the property `Version`
// and the method `Refresh()` (a probe run now).
inline constexpr const char* kHostServiceName = "vemo.Tallyport.NUVModule";
inline constexpr const char* kHostServicePath = "/vemo/Tallyport/NUVModule";
inline constexpr const char* kHostServiceInterface = "vemo.Tallyport.NUVModule1";

}  // namespace nuvctl
