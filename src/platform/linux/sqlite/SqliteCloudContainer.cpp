#include "platform/linux/sqlite/SqliteCloudContainer.h"

#include <map>
#include <mutex>

#include "platform/linux/process/XdgDirs.h"
#include "platform/linux/sqlite/SqliteCloudDatabase.h"

namespace nuv::linux_backend {

SqliteCloudContainer::SqliteCloudContainer(std::string identifier, const std::string& directory)
    : identifier_(std::move(identifier)),
      // The folder under the user's data home is the module's own.
      database_(std::make_shared<SqliteCloudDatabase>(databasePath(directory, identifier_),
                                                      /*privateFolder=*/true)) {}

std::string SqliteCloudContainer::databasePath(const std::string& directory,
                                               const std::string& identifier) {
  std::string name;
  for (char c : identifier) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    name += plain ? c : '_';
  }
  if (name.empty() || name[0] == '.') name.insert(name.begin(), '_');
  return directory + "/" + name + ".sqlite";
}

std::string SqliteCloudContainer::defaultDirectory(const std::string& bundleIdentifier) {
  return xdgBaseDirectory("XDG_DATA_HOME", ".local/share") + "/" + bundleIdentifier + "/cloud";
}

CloudContainerFactory SqliteCloudContainer::factory(std::string directory) {
  struct Cache {
    std::mutex mutex;
    std::map<std::string, CloudContainerRef> containers;
  };
  auto cache = std::make_shared<Cache>();
  return [cache, directory = std::move(directory)](const std::string& identifier) {
    std::lock_guard lock(cache->mutex);
    auto& slot = cache->containers[identifier];
    if (!slot) slot = std::make_shared<SqliteCloudContainer>(identifier, directory);
    return slot;
  };
}

}  // namespace nuv::linux_backend
