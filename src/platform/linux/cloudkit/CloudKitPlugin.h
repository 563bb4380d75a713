#pragma once

// The CloudKit backend ships as a plug-in inside the bundle,
// PlugIns/NUVCloudKit.so, so that libcurl and its TLS and authentication
// libraries (about 5 MiB of resident pages) are mapped only by a module whose
// cloud.conf asks for that backend. The plug-in resolves the platform and
// cloud-record symbols it uses against the executable, which exports them.

#include <string>

#include "platform/cloud/CloudContainer.h"
#include "platform/linux/cloudkit/CloudKitConfig.h"

namespace nuv::linux_backend {

// Its workers are SerialWorkers of the executable, so they stop with every
// other cloud worker (SerialWorker::shutdownAll).
struct CloudKitPlugin {
  CloudContainerFactory (*factory)(CloudKitConfig config);  // CloudKitContainer::factory
};

// The plug-in's one exported function, and its name for dlsym.
using CloudKitPluginEntry = const CloudKitPlugin* (*)();
inline constexpr const char kCloudKitPluginEntry[] = "nuv_cloudkit_plugin";
inline constexpr const char kCloudKitPluginPath[] = "PlugIns/NUVCloudKit.so";

// Loads the plug-in at `path` for the rest of the process. Null, with
// `error` set, when the file is missing or does not load.
const CloudKitPlugin* loadCloudKitPlugin(const std::string& path, std::string* error);

}  // namespace nuv::linux_backend
