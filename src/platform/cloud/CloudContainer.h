#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/cloud/CloudDatabase.h"

namespace nuv {

// A cloud container: the named space that holds an application's databases.
class CloudContainer {
 public:
  virtual ~CloudContainer() = default;
  virtual std::string containerIdentifier() const = 0;
  // The same database object on every call.
  virtual CloudDatabaseRef privateCloudDatabase() = 0;
};

using CloudContainerRef = std::shared_ptr<CloudContainer>;
using CloudContainerFactory = std::function<CloudContainerRef(const std::string& identifier)>;

// The backend that containerWithIdentifier() uses. The composition root
// installs it before the first shared record store is created. Thread-safe.
void setCloudContainerFactory(CloudContainerFactory factory);

// The container with this identifier from the installed backend; null when
// no backend is installed or it cannot provide one.
CloudContainerRef containerWithIdentifier(const std::string& identifier);

}  // namespace nuv
