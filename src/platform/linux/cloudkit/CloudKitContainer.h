#pragma once

#include <memory>
#include <set>
#include <string>

#include "platform/cloud/CloudContainer.h"
#include "platform/linux/cloudkit/CloudKitConfig.h"
#include "platform/linux/cloudkit/CloudKitDatabase.h"

namespace nuv::linux_backend {

// A CloudKit container reached through CloudKit Web Services; its private
// database is a CloudKitDatabase.
class CloudKitContainer : public CloudContainer {
 public:
  CloudKitContainer(std::string identifier, const CloudKitConfig& config,
                    std::set<std::string> booleanKeys = defaultBooleanKeys(),
                    CloudKitDatabase::FieldTypes fieldTypes = defaultFieldTypes());

  std::string containerIdentifier() const override { return identifier_; }
  CloudDatabaseRef privateCloudDatabase() override { return database_; }

  // The "Todo" record's boolean fields, stored as INT64 0/1.
  static std::set<std::string> defaultBooleanKeys() { return {"state", "done"}; }
  // The "Todo" record's fields and their wire types.
  static CloudKitDatabase::FieldTypes defaultFieldTypes() {
    return {{"Name", "STRING"},
            {"title", "STRING"},
            {"Battery", "INT64"},
            {"state", "INT64"},
            {"done", "INT64"}};
  }

  // A factory for setCloudContainerFactory: one container (one database, one
  // worker) per identifier for the life of the process.
  static CloudContainerFactory factory(CloudKitConfig config);

 private:
  std::string identifier_;
  CloudDatabaseRef database_;
};

}  // namespace nuv::linux_backend
