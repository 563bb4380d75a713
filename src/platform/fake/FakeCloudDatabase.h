#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/cloud/CloudContainer.h"
#include "platform/cloud/CloudDatabase.h"

namespace nuv::fake {

// An in-memory cloud database. Calls are queued, not run: the test delivers
// them with deliverNext()/deliverAll() on its own thread, or on a separate
// thread with deliverAllOnThread() to play the backend worker. Queries
// return records in first-stored order (sort descriptors are recorded, not
// applied). The store sets creation and modification dates from a counter
// (1 ms apart, strictly increasing) and a fresh change tag on every save.
class FakeCloudDatabase : public CloudDatabase {
  template <class F>
  auto locked(F read) const {
    std::lock_guard lock(mutex_);
    return read();
  }

 public:
  struct SaveCall {
    CloudRecordData handedOver;  // the snapshot taken when the operation was added
    CloudRecordSavePolicy policy;
  };

  FakeCloudDatabase();
  ~FakeCloudDatabase() override;

  // CloudDatabase
  CloudDatabaseScope databaseScope() const override { return CloudDatabaseScope::Private; }
  void performQuery(const CloudQuery& query, std::optional<std::string> zoneName,
                    QueryCompletion completion) override;
  void saveSubscription(const CloudQuerySubscription& subscription,
                        SubscriptionCompletion completion) override;
  void addOperation(std::shared_ptr<CloudModifyRecordsOperation> operation) override;
  void deleteRecordWithID(const CloudRecordID& recordID, DeleteCompletion completion) override;
  bool tracksOutsideChanges() const override {
    return locked([&] { return tracksOutsideChanges_; });
  }
  void checkForOutsideChanges(OutsideChangesCompletion completion) override;
  Subscription observeOutsideChanges(std::function<void()> hint) override;

  // Test controls (thread-safe).
  // Puts a record into the store as if the companion app had saved it; the
  // store's dates and change tag are set. Returns the stored content.
  CloudRecordData seed(CloudRecordData record);
  // The next queued call (in the order the calls were made) fails with this
  // error instead of running. Several calls queue several failures.
  void failNextWith(CloudError error);
  std::size_t pendingCount() const {
    return locked([&] { return pending_.size(); });
  }
  // Whether the database says it can tell outside changes (default false).
  void setTracksOutsideChanges(bool tracks);
  // Another client wrote: the next check for outside changes answers true
  // (once), and the observer gets its hint (on the calling thread).
  void markOutsideChange();
  // A hint without an outside change (as this client's own writes give).
  void hintStorageWritten();
  bool observed() const {
    return locked([&] { return hint_ != nullptr; });
  }
  int outsideChecks() const {
    return locked([&] { return outsideChecks_; });
  }
  bool deliverNext();
  void deliverAll();
  void deliverAllOnThread();

  std::optional<CloudRecordData> stored(const std::string& recordName) const;
  std::vector<SaveCall> saveCalls() const {
    return locked([&] { return saveCalls_; });
  }
  std::vector<CloudQuery> queries() const {
    return locked([&] { return queries_; });
  }
  std::vector<CloudQuerySubscription> subscriptions() const {
    return locked([&] { return subscriptions_; });
  }

 private:
  using Task = std::function<void(std::optional<CloudError> injected)>;
  void enqueue(Task task);
  CloudRecordData storeLocked(CloudRecordData record);
  std::optional<CloudError> saveLocked(const CloudRecordData& incoming,
                                       CloudRecordSavePolicy policy, CloudRecordData& saved);

  mutable std::mutex mutex_;
  std::deque<std::pair<Task, std::optional<CloudError>>> pending_;
  std::deque<CloudError> failures_;
  std::vector<std::string> order_;  // record names in first-stored order
  std::map<std::string, CloudRecordData> records_;
  std::int64_t tick_ = 0;
  std::vector<SaveCall> saveCalls_;
  std::vector<CloudQuery> queries_;
  std::vector<CloudQuerySubscription> subscriptions_;
  bool tracksOutsideChanges_ = false;
  bool outsideChange_ = false;
  int outsideChecks_ = 0;
  std::shared_ptr<std::function<void()>> hint_;
};

// A container whose private database is a FakeCloudDatabase.
class FakeCloudContainer : public CloudContainer {
 public:
  explicit FakeCloudContainer(std::string identifier)
      : identifier_(std::move(identifier)), database_(std::make_shared<FakeCloudDatabase>()) {}
  std::string containerIdentifier() const override { return identifier_; }
  CloudDatabaseRef privateCloudDatabase() override { return database_; }
  const std::shared_ptr<FakeCloudDatabase>& fakeDatabase() const { return database_; }

 private:
  std::string identifier_;
  std::shared_ptr<FakeCloudDatabase> database_;
};

}  // namespace nuv::fake
