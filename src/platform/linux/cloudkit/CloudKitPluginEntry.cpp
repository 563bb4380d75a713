// The entry point of PlugIns/NUVCloudKit.so (see CloudKitPlugin.h).

#include <nlohmann/json.hpp>

#include "platform/linux/cloudkit/CloudKitClient.h"
#include "platform/linux/cloudkit/CloudKitContainer.h"
#include "platform/linux/cloudkit/CloudKitPlugin.h"

namespace {

using namespace nuv::linux_backend;

CloudKitSignInCheck checkSignIn(const CloudKitConfig& config, const std::string& container) {
  CloudKitClient client(config, container);
  auto response = client.post("users/current", nlohmann::json::object());
  return {std::move(response.error), std::move(response.serverErrorCode),
          std::move(response.redirectURL)};
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const CloudKitPlugin* nuv_cloudkit_plugin() {
  static const CloudKitPlugin plugin{&CloudKitContainer::factory, &checkSignIn};
  return &plugin;
}
