#include "platform/linux/sqlite/SqliteCloudStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <utility>

#include "platform/linux/sqlite/SqliteSupport.h"

namespace nuv::linux_backend {
namespace {

constexpr int kBusyTimeoutMs = 5000;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS records(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  zone TEXT NOT NULL,
  name TEXT NOT NULL,
  type TEXT NOT NULL,
  created INTEGER NOT NULL,
  modified INTEGER NOT NULL,
  tag TEXT NOT NULL,
  UNIQUE(zone, name));
CREATE TABLE IF NOT EXISTS fields(
  record INTEGER NOT NULL,
  key TEXT NOT NULL,
  kind TEXT NOT NULL,
  value NOT NULL,
  PRIMARY KEY(record, key)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS subscriptions(
  id TEXT PRIMARY KEY,
  type TEXT NOT NULL,
  options INTEGER NOT NULL,
  content_available INTEGER NOT NULL);
)sql";

std::int64_t nowMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The change tag of a write: the new modification date in base 36, unique per
// record because the dates strictly increase.
std::string changeTag(std::int64_t modified) {
  static constexpr char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  auto v = static_cast<std::uint64_t>(modified);
  std::string tag;
  do {
    tag.insert(tag.begin(), digits[v % 36]);
    v /= 36;
  } while (v);
  return tag;
}

const char* kindName(const CloudFieldValue& value) {
  switch (value.index()) {
    case 0:
      return "string";
    case 1:
      return "int64";
    case 2:
      return "bool";
    default:
      return "date";
  }
}

CloudErrorCode codeFor(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return CloudErrorCode::BadDatabase;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return CloudErrorCode::ServiceUnavailable;
    case SQLITE_INTERRUPT:
      return CloudErrorCode::OperationCancelled;
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH:
      return CloudErrorCode::PermissionFailure;
    case SQLITE_FULL:
      return CloudErrorCode::QuotaExceeded;
    default:
      return CloudErrorCode::InternalError;
  }
}

// Orders field values for query sorting: kinds by their index, then values.
bool valueLess(const std::optional<CloudFieldValue>& a, const std::optional<CloudFieldValue>& b) {
  if (!a || !b) return !a && b;
  if (a->index() != b->index()) return a->index() < b->index();
  if (const auto* s = std::get_if<std::string>(&*a)) return *s < std::get<std::string>(*b);
  if (const auto* i = std::get_if<std::int64_t>(&*a)) return *i < std::get<std::int64_t>(*b);
  if (const auto* f = std::get_if<CloudBool>(&*a)) return f->value < std::get<CloudBool>(*b).value;
  return std::get<Date>(*a) < std::get<Date>(*b);
}

std::optional<CloudFieldValue> sortValue(const CloudRecordData& r, const std::string& key) {
  if (key == "recordName") return CloudFieldValue(r.recordID.recordName);
  if (key == "creationDate") {
    return r.creationDate ? std::optional<CloudFieldValue>(*r.creationDate) : std::nullopt;
  }
  if (key == "modificationDate") {
    return r.modificationDate ? std::optional<CloudFieldValue>(*r.modificationDate) : std::nullopt;
  }
  auto it = r.fields.find(key);
  if (it == r.fields.end()) return std::nullopt;
  return it->second;
}

}  // namespace

// A prepared statement that also binds and reads field values.
struct SqliteCloudStore::Statement : sqlite::Statement {
  using sqlite::Statement::Statement;
  void bindValue(int i, const CloudFieldValue& v) {
    if (const auto* s = std::get_if<std::string>(&v)) {
      bind(i, *s);
    } else if (const auto* n = std::get_if<std::int64_t>(&v)) {
      bind(i, *n);
    } else if (const auto* b = std::get_if<CloudBool>(&v)) {
      bind(i, std::int64_t{b->value ? 1 : 0});
    } else {
      bind(i, std::get<Date>(v).microseconds());
    }
  }
  // A field value stored as (kind, value) at columns col, col+1; absent for an
  // unknown kind.
  std::optional<CloudFieldValue> fieldValue(int col) const {
    const std::string kind = text(col);
    std::optional<CloudFieldValue> value;
    if (kind == "string") {
      value.emplace(std::in_place_type<std::string>, text(col + 1));
    } else if (kind == "int64") {
      value.emplace(std::in_place_type<std::int64_t>, integer(col + 1));
    } else if (kind == "bool") {
      value.emplace(std::in_place_type<CloudBool>, CloudBool{integer(col + 1) != 0});
    } else if (kind == "date") {
      value.emplace(std::in_place_type<Date>, Date::fromMicroseconds(integer(col + 1)));
    }
    return value;
  }
};

SqliteCloudStore::SqliteCloudStore(std::string path, bool privateFolder)
    : path_(std::move(path)), privateFolder_(privateFolder) {}

SqliteCloudStore::~SqliteCloudStore() { close(); }

void SqliteCloudStore::close() {
  sqlite3* db = nullptr;
  {
    std::lock_guard lock(handleMutex_);
    db = std::exchange(db_, nullptr);
  }
  if (db) sqlite3_close_v2(db);
}

void SqliteCloudStore::interrupt() {
  std::lock_guard lock(handleMutex_);
  if (db_) sqlite3_interrupt(db_);
}

CloudError SqliteCloudStore::error(int rc, const char* what) const {
  std::string message = std::string(what) + ": ";
  message += db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
  message += " (" + path_ + ")";
  return CloudError{codeFor(rc), std::move(message), std::nullopt};
}

std::optional<CloudError> SqliteCloudStore::exec(const char* sql, const char* what) {
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return error(rc, what);
  return std::nullopt;
}

std::optional<CloudError> SqliteCloudStore::makePrivate() {
  std::string reason;
  if (sqlite::makePrivate(path_, privateFolder_, &reason)) return std::nullopt;
  return CloudError{CloudErrorCode::InternalError, reason, std::nullopt};
}

std::optional<CloudError> SqliteCloudStore::open() {
  if (db_) return std::nullopt;
  if (auto failure = makePrivate()) return failure;
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  {
    std::lock_guard lock(handleMutex_);
    db_ = db;
  }
  if (rc != SQLITE_OK) {
    auto failure = error(rc, "open");
    close();
    return failure;
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  // journal_mode answers with a row, so it goes through exec as well.
  for (const char* sql : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL", kSchema}) {
    if (auto failure = exec(sql, "open")) {
      close();
      return failure;
    }
  }
  return std::nullopt;
}

std::optional<CloudRecordData> SqliteCloudStore::loadRecord(long long rowId, CloudError& failure) {
  Statement st(db_,
               "SELECT r.zone, r.name, r.type, r.created, r.modified, r.tag, f.kind, f.value, "
               "f.key FROM records r LEFT JOIN fields f ON f.record = r.id WHERE r.id = ?");
  if (st.rc != SQLITE_OK) {
    failure = error(st.rc, "read record");
    return std::nullopt;
  }
  st.bind(1, std::int64_t{rowId});
  std::optional<CloudRecordData> record;
  int rc;
  while ((rc = st.step()) == SQLITE_ROW) {
    if (!record) {
      record.emplace();
      record->recordID = CloudRecordID{st.text(1), st.text(0)};
      record->recordType = st.text(2);
      record->creationDate = Date::fromMicroseconds(st.integer(3));
      record->modificationDate = Date::fromMicroseconds(st.integer(4));
      record->recordChangeTag = st.text(5);
    }
    if (!st.isNull(6)) {
      if (auto value = st.fieldValue(6)) record->fields.insert_or_assign(st.text(8), *value);
    }
  }
  if (rc != SQLITE_DONE) {
    failure = error(rc, "read record");
    return std::nullopt;
  }
  if (!record) failure = CloudError{CloudErrorCode::UnknownItem, "record vanished", std::nullopt};
  return record;
}

CloudResult<std::vector<CloudRecordData>> SqliteCloudStore::query(const CloudQuery& query,
                                                                  const std::string& zoneName) {
  if (auto failure = open()) return *failure;
  Statement st(db_,
               "SELECT r.id, r.zone, r.name, r.type, r.created, r.modified, r.tag, f.kind, "
               "f.value, f.key FROM records r LEFT JOIN fields f ON f.record = r.id "
               "WHERE r.type = ? AND r.zone = ? ORDER BY r.id");
  if (st.rc != SQLITE_OK) return error(st.rc, "query");
  st.bind(1, query.recordType);
  st.bind(2, zoneName);
  std::vector<CloudRecordData> records;
  long long current = -1;
  int rc;
  while ((rc = st.step()) == SQLITE_ROW) {
    const long long id = st.integer(0);
    if (id != current) {
      current = id;
      CloudRecordData r;
      r.recordID = CloudRecordID{st.text(2), st.text(1)};
      r.recordType = st.text(3);
      r.creationDate = Date::fromMicroseconds(st.integer(4));
      r.modificationDate = Date::fromMicroseconds(st.integer(5));
      r.recordChangeTag = st.text(6);
      records.push_back(std::move(r));
    }
    if (!st.isNull(7)) {
      if (auto value = st.fieldValue(7)) records.back().fields.insert_or_assign(st.text(9), *value);
    }
  }
  if (rc != SQLITE_DONE) return error(rc, "query");
  // Sort by the last descriptor first so that earlier descriptors win.
  for (auto it = query.sortDescriptors.rbegin(); it != query.sortDescriptors.rend(); ++it) {
    const auto& d = *it;
    std::stable_sort(records.begin(), records.end(), [&d](const auto& a, const auto& b) {
      return d.ascending ? valueLess(sortValue(a, d.key), sortValue(b, d.key))
                         : valueLess(sortValue(b, d.key), sortValue(a, d.key));
    });
  }
  return records;
}

CloudResult<CloudRecordData> SqliteCloudStore::save(const CloudRecordData& record,
                                                    CloudRecordSavePolicy policy) {
  if (record.recordID.recordName.empty() || record.recordType.empty()) {
    return CloudError{CloudErrorCode::InvalidArguments, "record without a name or type",
                      std::nullopt};
  }
  if (auto failure = open()) return *failure;
  if (auto failure = exec("BEGIN IMMEDIATE", "save")) return *failure;
  CloudError failure;
  auto outcome = [&]() -> std::optional<CloudRecordData> {
    Statement find(db_, "SELECT id, type, modified, tag FROM records WHERE zone = ? AND name = ?");
    if (find.rc != SQLITE_OK) {
      failure = error(find.rc, "save");
      return std::nullopt;
    }
    find.bind(1, record.recordID.zoneName);
    find.bind(2, record.recordID.recordName);
    const int found = find.step();
    if (found != SQLITE_ROW && found != SQLITE_DONE) {
      failure = error(found, "save");
      return std::nullopt;
    }
    const std::int64_t now = nowMicroseconds();
    long long rowId = 0;
    bool writeAll = true;
    if (found == SQLITE_ROW) {
      rowId = find.integer(0);
      if (find.text(1) != record.recordType) {
        failure = CloudError{CloudErrorCode::InvalidArguments,
                             "record " + record.recordID.recordName + " is of type " +
                                 find.text(1) + ", not " + record.recordType,
                             std::nullopt};
        return std::nullopt;
      }
      if (policy == CloudRecordSavePolicy::IfServerRecordUnchanged &&
          record.recordChangeTag != find.text(3)) {
        failure = CloudError{CloudErrorCode::ServerRecordChanged,
                             "record " + record.recordID.recordName + " changed in the store",
                             std::nullopt};
        return std::nullopt;
      }
      const std::int64_t modified = std::max(now, find.integer(2) + 1);
      Statement update(db_, "UPDATE records SET modified = ?, tag = ? WHERE id = ?");
      update.bind(1, modified);
      update.bind(2, changeTag(modified));
      update.bind(3, std::int64_t{rowId});
      if (update.rc != SQLITE_OK || update.step() != SQLITE_DONE) {
        failure = error(update.rc != SQLITE_OK ? update.rc : sqlite3_errcode(db_), "save");
        return std::nullopt;
      }
      writeAll = policy == CloudRecordSavePolicy::AllKeys;
      if (writeAll) {
        const std::string clear = "DELETE FROM fields WHERE record = " + std::to_string(rowId);
        if (auto e = exec(clear.c_str(), "save")) {
          failure = *e;
          return std::nullopt;
        }
      }
    } else if (record.recordChangeTag && policy != CloudRecordSavePolicy::AllKeys) {
      // A record read from the store carries a change tag: if it is gone now,
      // someone deleted it, and writing its changed keys must not bring it back.
      failure = CloudError{CloudErrorCode::UnknownItem,
                           "record " + record.recordID.recordName + " was deleted", std::nullopt};
      return std::nullopt;
    } else {
      Statement insert(db_,
                       "INSERT INTO records(zone, name, type, created, modified, tag) "
                       "VALUES(?, ?, ?, ?, ?, ?)");
      insert.bind(1, record.recordID.zoneName);
      insert.bind(2, record.recordID.recordName);
      insert.bind(3, record.recordType);
      insert.bind(4, now);
      insert.bind(5, now);
      insert.bind(6, changeTag(now));
      if (insert.rc != SQLITE_OK || insert.step() != SQLITE_DONE) {
        failure = error(insert.rc != SQLITE_OK ? insert.rc : sqlite3_errcode(db_), "save");
        return std::nullopt;
      }
      rowId = sqlite3_last_insert_rowid(db_);
    }

    Statement put(db_,
                  "INSERT INTO fields(record, key, kind, value) VALUES(?, ?, ?, ?) "
                  "ON CONFLICT(record, key) DO UPDATE SET kind = excluded.kind, "
                  "value = excluded.value");
    Statement drop(db_, "DELETE FROM fields WHERE record = ? AND key = ?");
    if (put.rc != SQLITE_OK || drop.rc != SQLITE_OK) {
      failure = error(put.rc != SQLITE_OK ? put.rc : drop.rc, "save");
      return std::nullopt;
    }
    auto write = [&](const std::string& key) -> bool {
      auto it = record.fields.find(key);
      Statement& st = it == record.fields.end() ? drop : put;
      sqlite3_reset(st.stmt);
      st.bind(1, std::int64_t{rowId});
      st.bind(2, key);
      if (it != record.fields.end()) {
        put.bind(3, std::string(kindName(it->second)));
        put.bindValue(4, it->second);
      }
      const int rc = st.step();
      if (rc != SQLITE_DONE) failure = error(rc, "save");
      return rc == SQLITE_DONE;
    };
    if (writeAll) {
      for (const auto& [key, value] : record.fields) {
        if (!write(key)) return std::nullopt;
      }
    } else {
      for (const auto& key : record.changedKeys) {
        if (!write(key)) return std::nullopt;
      }
    }
    return loadRecord(rowId, failure);
  }();
  if (!outcome) {
    exec("ROLLBACK", "save");
    return failure;
  }
  if (auto commitFailure = exec("COMMIT", "save")) {
    exec("ROLLBACK", "save");
    return *commitFailure;
  }
  return *outcome;
}

std::optional<CloudError> SqliteCloudStore::remove(const CloudRecordID& recordID) {
  if (auto failure = open()) return failure;
  if (auto failure = exec("BEGIN IMMEDIATE", "delete")) return failure;
  auto failure = [&]() -> std::optional<CloudError> {
    Statement find(db_, "SELECT id FROM records WHERE zone = ? AND name = ?");
    find.bind(1, recordID.zoneName);
    find.bind(2, recordID.recordName);
    const int rc = find.rc != SQLITE_OK ? find.rc : find.step();
    if (rc == SQLITE_DONE) {
      return CloudError{CloudErrorCode::UnknownItem, "record not found: " + recordID.recordName,
                        std::nullopt};
    }
    if (rc != SQLITE_ROW) return error(rc, "delete");
    const std::string id = std::to_string(find.integer(0));
    if (auto e = exec(("DELETE FROM fields WHERE record = " + id).c_str(), "delete")) return e;
    if (auto e = exec(("DELETE FROM records WHERE id = " + id).c_str(), "delete")) return e;
    return std::nullopt;
  }();
  if (failure) {
    exec("ROLLBACK", "delete");
    return failure;
  }
  if (auto commitFailure = exec("COMMIT", "delete")) {
    exec("ROLLBACK", "delete");
    return commitFailure;
  }
  return std::nullopt;
}

CloudResult<bool> SqliteCloudStore::outsideChangesSinceLastCheck() {
  const bool reopened = db_ == nullptr;
  if (auto failure = open()) return *failure;
  Statement st(db_, "PRAGMA data_version");
  const int rc = st.rc != SQLITE_OK ? st.rc : st.step();
  if (rc != SQLITE_ROW) return error(rc, "check for changes");
  const std::int64_t version = st.integer(0);
  // The number is only comparable on one connection: a new connection (the
  // first check, or after a failed open) cannot tell what it missed, except
  // on the very first check, which only takes the baseline.
  const bool changed = (reopened && dataVersion_.has_value()) ||
                       (dataVersion_.has_value() && *dataVersion_ != version);
  dataVersion_ = version;
  return changed;
}

CloudResult<CloudQuerySubscription> SqliteCloudStore::saveSubscription(
    const CloudQuerySubscription& subscription) {
  if (auto failure = open()) return *failure;
  CloudQuerySubscription saved = subscription;
  if (!saved.subscriptionID) saved.subscriptionID = CloudRecord::makeRecordName();
  Statement st(db_,
               "INSERT OR REPLACE INTO subscriptions(id, type, options, content_available) "
               "VALUES(?, ?, ?, ?)");
  if (st.rc != SQLITE_OK) return error(st.rc, "save subscription");
  st.bind(1, *saved.subscriptionID);
  st.bind(2, saved.recordType);
  st.bind(3, std::int64_t{saved.options});
  st.bind(4, std::int64_t{saved.notificationInfo.shouldSendContentAvailable ? 1 : 0});
  const int rc = st.step();
  if (rc != SQLITE_DONE) return error(rc, "save subscription");
  return saved;
}

}  // namespace nuv::linux_backend
