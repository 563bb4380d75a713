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

}  // namespace nuvctl
