#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/cloud/CloudError.h"
#include "platform/cloud/CloudModifyRecordsOperation.h"
#include "platform/cloud/CloudQuery.h"
#include "platform/cloud/CloudQuerySubscription.h"
#include "platform/cloud/CloudRecord.h"

typedef struct sqlite3 sqlite3;

namespace nuv::linux_backend {

template <class T>
using CloudResult = std::variant<T, CloudError>;

// The records of one cloud database in one SQLite file, used synchronously.
//
// The file is opened on first use (WAL, 5 s busy timeout, schema created if
// missing) and again on the next call after a failed open, so a file that is
// repaired or replaced is picked up. Every open makes the database and its
// -wal and -shm files 0600 (creating, or tightening the ones there). Every failure, a corrupt or
// unreadable file included, comes back as a CloudError. Several processes may use one file at once:
// writes run in IMMEDIATE transactions.
//
// Not thread-safe: one thread uses a store at a time, except interrupt().
class SqliteCloudStore {
 public:
  // `privateFolder`: the folder holding the file is this store's own and is
  // made 0700 if it is wider (the module's cloud folder); otherwise only
  // folders that have to be created are made 0700.
  explicit SqliteCloudStore(std::string path, bool privateFolder = false);
  ~SqliteCloudStore();
  SqliteCloudStore(const SqliteCloudStore&) = delete;
  SqliteCloudStore& operator=(const SqliteCloudStore&) = delete;

  const std::string& path() const { return path_; }

  // Every record of the query's type in `zoneName`, in first-stored order or
  // the query's sort order; records come with no changed keys.
  CloudResult<std::vector<CloudRecordData>> query(const CloudQuery& query,
                                                  const std::string& zoneName);
  // Saves the record and returns it as stored: creation date set on the
  // first save, modification date strictly increasing per record, a new
  // change tag. ChangedKeys and IfServerRecordUnchanged write only the
  // record's changed keys (all fields for a record not stored yet); AllKeys
  // replaces every field. Under the first two, a record with a change tag
  // (read from the store) that is no longer stored fails with UnknownItem
  // instead of being created again: someone deleted it.
  CloudResult<CloudRecordData> save(const CloudRecordData& record, CloudRecordSavePolicy policy);
  // Deleting a record that is not stored fails with UnknownItem.
  std::optional<CloudError> remove(const CloudRecordID& recordID);
  CloudResult<CloudQuerySubscription> saveSubscription(const CloudQuerySubscription& subscription);
  // Whether another connection (another process) committed changes since the
  // previous call; the first call takes the baseline and answers false.
  CloudResult<bool> outsideChangesSinceLastCheck();

  // Thread-safe: makes a statement running on another thread fail soon with
  // OperationCancelled.
  void interrupt();

 private:
  struct Statement;
  std::optional<CloudError> makePrivate();
  std::optional<CloudError> open();
  void close();
  CloudError error(int rc, const char* what) const;
  std::optional<CloudError> exec(const char* sql, const char* what);
  std::optional<CloudRecordData> loadRecord(long long rowId, CloudError& failure);

  std::string path_;
  const bool privateFolder_;
  std::optional<std::int64_t> dataVersion_;
  mutable std::mutex handleMutex_;  // guards db_ against interrupt() from other threads
  sqlite3* db_ = nullptr;
};

}  // namespace nuv::linux_backend
