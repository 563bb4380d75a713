#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/cloud/CloudDatabase.h"

namespace nuv::linux_backend {

class SerialWorker;
class SqliteCloudStore;

// The embedded cloud database: a SqliteCloudStore run by one worker thread of
// its own. Calls queue work for that thread and return at once; completions
// run on it, one call at a time, in the order the calls were made.
//
// Shutdown: destroying the database drops the work still queued (its
// completions are never called), lets the call in progress finish and joins
// the worker. At process exit (std::exit included) every worker still alive
// is stopped the same way, so no completion runs while the process tears down
// its static objects.
class SqliteCloudDatabase : public CloudDatabase {
 public:
  // `privateFolder` as for SqliteCloudStore.
  explicit SqliteCloudDatabase(std::string path, bool privateFolder = false);
  ~SqliteCloudDatabase() override;
  SqliteCloudDatabase(const SqliteCloudDatabase&) = delete;
  SqliteCloudDatabase& operator=(const SqliteCloudDatabase&) = delete;

  const std::string& path() const;

  CloudDatabaseScope databaseScope() const override { return CloudDatabaseScope::Private; }
  void performQuery(const CloudQuery& query, std::optional<std::string> zoneName,
                    QueryCompletion completion) override;
  void saveSubscription(const CloudQuerySubscription& subscription,
                        SubscriptionCompletion completion) override;
  void addOperation(std::shared_ptr<CloudModifyRecordsOperation> operation) override;
  void deleteRecordWithID(const CloudRecordID& recordID, DeleteCompletion completion) override;
  // Other processes (nuvctl records, the companion app's side) write the same
  // file: SQLite's data_version tells their commits apart from ours.
  bool tracksOutsideChanges() const override { return true; }
  void checkForOutsideChanges(OutsideChangesCompletion completion) override;
  // Hints come from an inotify watch (GFileMonitor) on the database's folder,
  // for writes to the database and its -wal and -journal files, delivered on
  // the calling thread's default main context: an idle database wakes no
  // one. Missing folders are made (0700) so that there is one to watch.
  Subscription observeOutsideChanges(std::function<void()> hint) override;

  // Blocks until every call made before has completed. Not from a completion.
  void waitUntilIdle();

  // Stops every cloud worker of the process, CloudKit's included (what
  // happens at exit). Idempotent.
  static void shutdownAll();

 private:
  // Queues `task` for the worker, which runs it against the store.
  void enqueue(std::function<void(SqliteCloudStore&)> task);

  std::shared_ptr<SqliteCloudStore> store_;  // worker thread only (interrupt: any thread)
  std::shared_ptr<SerialWorker> worker_;
};

}  // namespace nuv::linux_backend
