#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/cloud/CloudQuery.h"

namespace nuv {

// What the service sends when a subscription fires.
struct CloudNotificationInfo {
  bool shouldSendContentAvailable = false;
  friend bool operator==(const CloudNotificationInfo&, const CloudNotificationInfo&) = default;
};

// Bit set of the events a query subscription fires on.
using CloudQuerySubscriptionOptions = std::uint32_t;
inline constexpr CloudQuerySubscriptionOptions kCloudFiresOnRecordCreation = 1u << 0;
inline constexpr CloudQuerySubscriptionOptions kCloudFiresOnRecordUpdate = 1u << 1;
inline constexpr CloudQuerySubscriptionOptions kCloudFiresOnRecordDeletion = 1u << 2;
inline constexpr CloudQuerySubscriptionOptions kCloudFiresOnce = 1u << 3;

// A standing query: the service notifies when records of `recordType`
// matching the predicate are created, updated or deleted.
struct CloudQuerySubscription {
  std::string recordType;
  CloudPredicate predicate = CloudPredicate::truePredicate();
  CloudQuerySubscriptionOptions options = 0;
  // Absent: the backend picks one and returns it with the saved subscription.
  std::optional<std::string> subscriptionID;
  CloudNotificationInfo notificationInfo;
};

}  // namespace nuv
