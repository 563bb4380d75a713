#include "platform/linux/cloudkit/CloudKitPlugin.h"

#include <dlfcn.h>

namespace nuv::linux_backend {

const CloudKitPlugin* loadCloudKitPlugin(const std::string& path, std::string* error) {
  // Never closed: the containers it makes live until the process ends.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    if (error) *error = dlerror();
    return nullptr;
  }
  auto entry = reinterpret_cast<CloudKitPluginEntry>(dlsym(handle, kCloudKitPluginEntry));
  if (!entry) {
    if (error) *error = path + " has no " + kCloudKitPluginEntry;
    return nullptr;
  }
  return entry();
}

}  // namespace nuv::linux_backend
