// The entry point of PlugIns/NUVCloudKit.so (see CloudKitPlugin.h).

#include "platform/linux/cloudkit/CloudKitContainer.h"
#include "platform/linux/cloudkit/CloudKitPlugin.h"

extern "C" __attribute__((visibility("default"))) const nuv::linux_backend::CloudKitPlugin*
nuv_cloudkit_plugin() {
  using namespace nuv::linux_backend;
  static const CloudKitPlugin plugin{&CloudKitContainer::factory};
  return &plugin;
}
