#pragma once

// The CloudKit backend ships as a plug-in inside the bundle,
// PlugIns/NUVCloudKit.so, so that libcurl and its TLS and authentication
// libraries (about 5 MiB of resident pages) are mapped only by a module whose
// cloud.conf asks for that backend, and only by the nuvctl commands that talk
// to the service. The plug-in resolves the platform and cloud-record symbols
// it uses against the executable, which exports them (see
// nuv_cloudkit_plugin_host in CMakeLists.txt).

#include <optional>
#include <string>

#include "platform/cloud/CloudContainer.h"
#include "platform/cloud/CloudError.h"
#include "platform/linux/cloudkit/CloudKitConfig.h"

namespace nuv::linux_backend {

// The service's answer to "who is signed in?" (users/current with the stored
// web auth token, which it rotates like every request does).
struct CloudKitSignInCheck {
  std::optional<CloudError> error;  // none: signed in
  std::string serverErrorCode;      // of a refusal, e.g. AUTHENTICATION_REQUIRED
  std::string signInURL;            // where to sign in, when the service says so
};

// Its workers are SerialWorkers of the executable, so they stop with every
// other cloud worker (SerialWorker::shutdownAll).
struct CloudKitPlugin {
  CloudContainerFactory (*factory)(CloudKitConfig config);  // CloudKitContainer::factory
  // Blocks for the request; `container` is the container identifier.
  CloudKitSignInCheck (*checkSignIn)(const CloudKitConfig& config, const std::string& container);
};

// The plug-in's one exported function, and its name for dlsym.
using CloudKitPluginEntry = const CloudKitPlugin* (*)();
inline constexpr const char kCloudKitPluginEntry[] = "nuv_cloudkit_plugin";
inline constexpr const char kCloudKitPluginPath[] = "PlugIns/NUVCloudKit.so";

// Loads the plug-in at `path` for the rest of the process. Null, with
// `error` set, when the file is missing or does not load.
const CloudKitPlugin* loadCloudKitPlugin(const std::string& path, std::string* error);

}  // namespace nuv::linux_backend
