#include "platform/linux/cloudkit/CloudKitContainer.h"

#include <map>
#include <mutex>

#include "platform/linux/cloudkit/CloudKitClient.h"
#include "platform/linux/cloudkit/CloudKitDatabase.h"

namespace nuv::linux_backend {

CloudKitContainer::CloudKitContainer(std::string identifier, const CloudKitConfig& config,
                                     std::set<std::string> booleanKeys,
                                     CloudKitDatabase::FieldTypes fieldTypes)
    : identifier_(std::move(identifier)),
      database_(
          std::make_shared<CloudKitDatabase>(std::make_shared<CloudKitClient>(config, identifier_),
                                             std::move(booleanKeys), std::move(fieldTypes))) {}

CloudContainerFactory CloudKitContainer::factory(CloudKitConfig config) {
  struct Cache {
    std::mutex mutex;
    std::map<std::string, CloudContainerRef> containers;
  };
  auto cache = std::make_shared<Cache>();
  return [cache, config = std::move(config)](const std::string& identifier) {
    std::lock_guard lock(cache->mutex);
    auto& slot = cache->containers[identifier];
    if (!slot) slot = std::make_shared<CloudKitContainer>(identifier, config);
    return slot;
  };
}

}  // namespace nuv::linux_backend
