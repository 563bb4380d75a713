#pragma once

// Where host applications find the module on the session bus. The interface
// itself is described by data/vemo.Tallyport.NUVModule1.xml, which is also
// what the module exports.
namespace nuv::host_service {

inline constexpr const char* kBusName = "vemo.Tallyport.NUVModule";
inline constexpr const char* kObjectPath = "/vemo/Tallyport/NUVModule";
inline constexpr const char* kInterface = "vemo.Tallyport.NUVModule1";

inline constexpr const char* kDevicesProperty = "Devices";  // a{sa{sv}}
inline constexpr const char* kVersionProperty = "Version";  // s
inline constexpr const char* kRefreshMethod = "Refresh";    // () -> ()

}  // namespace nuv::host_service
