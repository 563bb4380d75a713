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
// them with deliverAll() on its own thread, or deliverAllOnThread() to play
// the backend worker. Queries return the records of their type in
// first-stored order, whatever the zone (sort descriptors are recorded, not
// applied); subscriptions are answered, not kept. A save, whatever its policy (the
// tests read it from saveCalls()), writes the changed keys of a stored record
// and every field of a new one. Every store sets the dates from a counter
// (1 ms apart, strictly increasing) and a fresh change tag.
// Test controls are thread-safe.
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

  // Stores a record as if the companion app had saved it; returns what is stored.
  CloudRecordData seed(CloudRecordData record) {
    return locked([&] { return storeLocked(std::move(record)); });
  }
  // The next queued call fails with this error instead of running; several
  // calls queue several failures.
  void failNextWith(CloudError error) {
    locked([&] { failures_.push_back(std::move(error)); });
  }
  void setTracksOutsideChanges(bool tracks) {
    locked([&] { tracksOutsideChanges_ = tracks; });
  }
  // Another client wrote: the next check answers true (once) and the
  // observer gets its hint on the calling thread.
  void markOutsideChange() {
    locked([&] { outsideChange_ = true; });
    hintStorageWritten();
  }
  // A hint without an outside change (as this client's own writes give).
  void hintStorageWritten() {
    if (auto hint = locked([&] { return hint_; })) (*hint)();
  }
  void deliverAll();
  void deliverAllOnThread();

  std::size_t pendingCount() const {
    return locked([&] { return pending_.size(); });
  }
  bool observed() const {
    return locked([&] { return hint_ != nullptr; });
  }
  int outsideChecks() const {
    return locked([&] { return outsideChecks_; });
  }
  std::optional<CloudRecordData> stored(const std::string& recordName) const {
    return locked([&]() -> std::optional<CloudRecordData> {
      auto it = records_.find(recordName);
      return it == records_.end() ? std::nullopt : std::optional(it->second);
    });
  }
  std::vector<SaveCall> saveCalls() const {
    return locked([&] { return saveCalls_; });
  }
  std::vector<CloudQuery> queries() const {
    return locked([&] { return queries_; });
  }

 private:
  // Queues `run`, or `fail` with the next injected failure.
  void enqueue(std::function<void()> run, std::function<void(const CloudError&)> fail);
  CloudRecordData storeLocked(CloudRecordData record);
  CloudRecordData saveLocked(const CloudRecordData& incoming);

  mutable std::mutex mutex_;
  std::deque<std::function<void()>> pending_;
  std::deque<CloudError> failures_;
  std::vector<std::string> order_;  // record names in first-stored order
  std::map<std::string, CloudRecordData> records_;
  std::int64_t tick_ = 0;
  std::vector<SaveCall> saveCalls_;
  std::vector<CloudQuery> queries_;
  bool tracksOutsideChanges_ = false, outsideChange_ = false;
  int outsideChecks_ = 0;
  std::shared_ptr<std::function<void()>> hint_;
};

// A container whose private database is a FakeCloudDatabase.
class FakeCloudContainer : public CloudContainer {
 public:
  explicit FakeCloudContainer(std::string identifier) : identifier_(std::move(identifier)) {}
  std::string containerIdentifier() const override { return identifier_; }
  CloudDatabaseRef privateCloudDatabase() override { return database_; }
  const std::shared_ptr<FakeCloudDatabase>& fakeDatabase() const { return database_; }

 private:
  std::string identifier_;
  std::shared_ptr<FakeCloudDatabase> database_ = std::make_shared<FakeCloudDatabase>();
};

}  // namespace nuv::fake
