#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Subscription.h"
#include "platform/cloud/CloudError.h"
#include "platform/cloud/CloudModifyRecordsOperation.h"
#include "platform/cloud/CloudQuery.h"
#include "platform/cloud/CloudQuerySubscription.h"
#include "platform/cloud/CloudRecord.h"

namespace nuv {

enum class CloudDatabaseScope { Public = 1, Private = 2, Shared = 3 };

// One database of a cloud container.
//
// Every call is thread-safe and returns at once; the work runs in the
// background and each completion runs exactly once, on a backend worker
// thread (never on the caller's thread inside the call). A backend may drop
// pending work when the process is shutting down; completions are then not
// called at all.
class CloudDatabase {
 public:
  using QueryCompletion =
      std::function<void(std::vector<CloudRecordRef> records, std::optional<CloudError> error)>;
  using SubscriptionCompletion = std::function<void(std::optional<CloudQuerySubscription> saved,
                                                    std::optional<CloudError> error)>;
  using DeleteCompletion =
      std::function<void(CloudRecordID recordID, std::optional<CloudError> error)>;
  using OutsideChangesCompletion =
      std::function<void(bool changed, std::optional<CloudError> error)>;

  virtual ~CloudDatabase() = default;

  virtual CloudDatabaseScope databaseScope() const = 0;

  // Every matching record of the zone (the default zone when `zoneName` is
  // absent), in one answer: records are new objects with no changed keys.
  virtual void performQuery(const CloudQuery& query, std::optional<std::string> zoneName,
                            QueryCompletion completion) = 0;

  virtual void saveSubscription(const CloudQuerySubscription& subscription,
                                SubscriptionCompletion completion) = 0;

  // Runs the operation. The records' content is snapshotted before this call
  // returns (see CloudModifyRecordsOperation).
  virtual void addOperation(std::shared_ptr<CloudModifyRecordsOperation> operation) = 0;

  // Deleting a record that is not stored fails with UnknownItem.
  virtual void deleteRecordWithID(const CloudRecordID& recordID, DeleteCompletion completion) = 0;

  // Changes made by other clients. A backend that can tell cheaply whether
  // another process (another connection) changed its records answers true
  // here and implements checkForOutsideChanges and observeOutsideChanges; the
  // record store then checks whenever the backend hints that its storage was
  // written, instead of waiting for its periodic refresh. A backend that
  // cannot tell answers false, never runs the completion and never hints.
  virtual bool tracksOutsideChanges() const { return false; }
  // `changed` is true when another client committed changes since the
  // previous check (the first check only takes the baseline and answers
  // false, unless the backend cannot be sure).
  virtual void checkForOutsideChanges(OutsideChangesCompletion completion) { (void)completion; }
  // Calls `hint` whenever the storage may have been written, by anyone (this
  // client included: the check tells them apart). Hints may come in bursts
  // and on any thread; nothing polls, so an idle store costs nothing. The
  // observation ends with the returned subscription.
  virtual Subscription observeOutsideChanges(std::function<void()> hint) {
    (void)hint;
    return {};
  }
};

using CloudDatabaseRef = std::shared_ptr<CloudDatabase>;

}  // namespace nuv
