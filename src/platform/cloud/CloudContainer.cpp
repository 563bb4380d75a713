#include "platform/cloud/CloudContainer.h"

#include <mutex>

namespace nuv {
namespace {

struct FactorySlot {
  std::mutex mutex;
  CloudContainerFactory factory;
};

// Never destroyed: shared instances may ask for containers until the very end
// of the process.
FactorySlot& slot() {
  static auto* s = new FactorySlot;
  return *s;
}

}  // namespace

void setCloudContainerFactory(CloudContainerFactory factory) {
  std::lock_guard lock(slot().mutex);
  slot().factory = std::move(factory);
}

CloudContainerRef containerWithIdentifier(const std::string& identifier) {
  CloudContainerFactory factory;
  {
    std::lock_guard lock(slot().mutex);
    factory = slot().factory;
  }
  return factory ? factory(identifier) : nullptr;
}

}  // namespace nuv
