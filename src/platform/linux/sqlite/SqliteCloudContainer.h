#pragma once

#include <memory>
#include <string>

#include "platform/cloud/CloudContainer.h"

namespace nuv::linux_backend {

// A container of the embedded cloud: its private database is the file
// <directory>/<identifier>.sqlite.
class SqliteCloudContainer : public CloudContainer {
 public:
  SqliteCloudContainer(std::string identifier, const std::string& directory);

  std::string containerIdentifier() const override { return identifier_; }
  CloudDatabaseRef privateCloudDatabase() override { return database_; }

  // The database file of `identifier` under `directory`. Characters other
  // than letters, digits, '.', '-' and '_' become '_'.
  static std::string databasePath(const std::string& directory, const std::string& identifier);

  // ${XDG_DATA_HOME:-~/.local/share}/<bundleIdentifier>/cloud
  static std::string defaultDirectory(const std::string& bundleIdentifier = kBundleIdentifier);

  // A factory for setCloudContainerFactory: one container (and so one
  // database and worker) per identifier for the life of the process.
  static CloudContainerFactory factory(std::string directory);

  static constexpr const char* kBundleIdentifier = "vemo.Tallyport.NUVModule";

 private:
  std::string identifier_;
  CloudDatabaseRef database_;
};

}  // namespace nuv::linux_backend
