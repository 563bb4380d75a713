#pragma once

#include <string>
#include <utility>
#include <vector>

namespace nuv {

// The filter of a query or subscription. Only the always-true predicate
// exists: the record store asks for every record of a type.
struct CloudPredicate {
  static CloudPredicate truePredicate() { return CloudPredicate{}; }
  bool isAlwaysTrue() const { return true; }
  friend bool operator==(const CloudPredicate&, const CloudPredicate&) = default;
};

// Sort order of query results. `key` is a field key, or one of the system
// keys "recordName", "creationDate" and "modificationDate".
struct CloudSortDescriptor {
  std::string key;
  bool ascending = true;
  friend bool operator==(const CloudSortDescriptor&, const CloudSortDescriptor&) = default;
};

struct CloudQuery {
  CloudQuery() = default;
  explicit CloudQuery(std::string type, std::vector<CloudSortDescriptor> sort = {})
      : recordType(std::move(type)), sortDescriptors(std::move(sort)) {}

  std::string recordType;
  CloudPredicate predicate = CloudPredicate::truePredicate();
  // Empty: the backend's natural order (the order in which records were
  // first stored).
  std::vector<CloudSortDescriptor> sortDescriptors;
};

}  // namespace nuv
