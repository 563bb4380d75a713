#include "platform/linux/sqlite/SqliteHistoryStore.h"

#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "platform/linux/process/XdgDirs.h"
#include "platform/linux/runtime/IsoDate.h"
#include "platform/linux/runtime/SerialWorker.h"
#include "platform/linux/sqlite/SqliteSupport.h"

namespace nuv::linux_backend {
namespace {

// Another process holding the file locked costs a write at most this long
// on the worker; the loop never waits for it.
constexpr int kBusyTimeoutMs = 1000;

// Samples refer to their device by a small number, so that 90 days of a
// device changing every minute do not repeat its UDID 130,000 times. A
// device's last known name has a table of its own, which files written
// before it existed gain when they are opened, and so does the health
// table: one row per device and calendar day (`day`: days since 1970-01-01
// of the date the recorder counted the reading on, the user's local one),
// each value NULL when the device did not give it.
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS devices(
  id INTEGER PRIMARY KEY,
  bonjour TEXT NOT NULL UNIQUE);
CREATE TABLE IF NOT EXISTS names(
  device INTEGER PRIMARY KEY,
  name TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS samples(
  device INTEGER NOT NULL,
  time INTEGER NOT NULL,
  level INTEGER NOT NULL,
  charging INTEGER NOT NULL,
  external INTEGER NOT NULL,
  PRIMARY KEY(device, time)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS events(
  time INTEGER NOT NULL,
  kind TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS events_by_time ON events(time);
CREATE TABLE IF NOT EXISTS health(
  device INTEGER NOT NULL,
  day INTEGER NOT NULL,
  time INTEGER NOT NULL,
  cycle_count INTEGER,
  full_charge_mah INTEGER,
  design_mah INTEGER,
  max_capacity_percent INTEGER,
  PRIMARY KEY(device, day)) WITHOUT ROWID;
)sql";

constexpr const char* kEventNames[] = {"start", "stop", "sleep", "wake"};

std::optional<ModuleEvent> eventNamed(const std::string& name) {
  for (std::size_t i = 0; i < std::size(kEventNames); ++i) {
    if (name == kEventNames[i]) return static_cast<ModuleEvent>(i);
  }
  return std::nullopt;
}

bool isCorrupt(int rc) { return (rc & 0xFF) == SQLITE_CORRUPT || (rc & 0xFF) == SQLITE_NOTADB; }

}  // namespace

// The open database and what the worker remembers about it. Worker thread only.
class SqliteHistoryStore::File {
 public:
  explicit File(std::string path) : path_(std::move(path)) {}
  ~File() { close(); }

  // Runs `work` (SQLITE_OK/DONE or what failed) on the open file. A corrupt
  // file is moved aside and `work` runs once more on a new one.
  template <class Work>
  void perform(const char* what, Work&& work) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      int rc = open();
      if (rc == SQLITE_OK) rc = work(db_);
      if (rc == SQLITE_OK || rc == SQLITE_DONE) {
        if (!logged_.empty()) log::info("history: " + std::string(what) + " works again");
        logged_.clear();
        return;
      }
      const std::string reason = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
      if (db_ && !sqlite3_get_autocommit(db_)) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      }
      if (attempt == 0 && isCorrupt(rc)) {
        moveAside();
        continue;
      }
      // Once per kind: a full disk or a locked file fails every write.
      if (logged_.insert(rc & 0xFF).second) {
        log::warning("history: " + std::string(what) +
                     " failed, history is lost until it works again: " + reason + " (" + path_ +
                     ")");
      }
      // A broken handle is not reused: the next call opens the file again.
      if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) close();
      return;
    }
  }

  // The device's number; 0 when it has none and `create` is false.
  std::int64_t deviceId(const std::string& bonjour, bool create, int* rc) {
    if (auto it = ids_.find(bonjour); it != ids_.end()) return it->second;
    if (create) {
      sqlite::Statement insert(db_, "INSERT OR IGNORE INTO devices(bonjour) VALUES(?)");
      insert.bind(1, bonjour);
      if ((*rc = insert.run()) != SQLITE_DONE) return 0;
    }
    sqlite::Statement find(db_, "SELECT id FROM devices WHERE bonjour = ?");
    find.bind(1, bonjour);
    const int found = find.run();
    *rc = found == SQLITE_ROW || found == SQLITE_DONE ? SQLITE_OK : found;
    if (found != SQLITE_ROW) return 0;
    return ids_[bonjour] = find.integer(0);
  }

  // Keeps `name` as device `id`'s name; written only when it is new.
  int setName(std::int64_t id, const std::string& name) {
    if (name.empty() || names_[id] == name) return SQLITE_DONE;
    sqlite::Statement upsert(db_, "INSERT OR REPLACE INTO names(device, name) VALUES(?, ?)");
    upsert.bind(1, id);
    upsert.bind(2, name);
    const int rc = upsert.run();
    names_[id] = rc == SQLITE_DONE ? name : "";
    return rc;
  }

  // Pruning may drop devices: their numbers and names are read again.
  void forget() {
    ids_.clear();
    names_.clear();
  }

 private:
  int open() {
    if (db_) return SQLITE_OK;
    if (!sqlite::makePrivate(path_, true, nullptr)) return SQLITE_CANTOPEN;
    int rc =
        sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc == SQLITE_OK) {
      sqlite3_busy_timeout(db_, kBusyTimeoutMs);
      for (const char* sql : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL", kSchema}) {
        if ((rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr)) != SQLITE_OK) break;
      }
    }
    if (rc != SQLITE_OK) close();
    return rc;
  }

  void close() {
    forget();
    if (db_) sqlite3_close_v2(std::exchange(db_, nullptr));
  }

  void moveAside() {
    close();
    const std::string aside = path_ + ".corrupt-" + IsoDate::now();
    for (const char* suffix : {"", "-wal", "-shm"}) {
      std::rename((path_ + suffix).c_str(), (aside + suffix).c_str());
    }
    log::warning("history: " + path_ + " was corrupt; moved it to " + aside +
                 " and started a new history");
  }

  const std::string path_;
  sqlite3* db_ = nullptr;
  std::map<std::string, std::int64_t> ids_;
  std::map<std::int64_t, std::string> names_;  // as written
  std::set<int> logged_;  // kinds of failure reported since the last write that worked
};

SqliteHistoryStore::SqliteHistoryStore(RunLoop& loop, std::string path)
    : loop_(loop), file_(std::make_shared<File>(std::move(path))), worker_(SerialWorker::start()) {}

SqliteHistoryStore::~SqliteHistoryStore() { worker_->stop(); }

std::string SqliteHistoryStore::defaultPath() {
  return xdgBaseDirectory("XDG_STATE_HOME", ".local/state") + "/NUVModule/history.sqlite";
}

void SqliteHistoryStore::waitUntilIdle() { worker_->waitUntilIdle(); }

void SqliteHistoryStore::flush(Milliseconds timeout) { worker_->waitUntilIdleFor(timeout); }

void SqliteHistoryStore::addSample(const std::string& device, const std::string& name,
                                   const BatterySample& sample) {
  worker_->enqueue([file = file_, device, name, sample] {
    file->perform("writing a battery sample", [&](sqlite3* db) {
      int rc = SQLITE_OK;
      const std::int64_t id = file->deviceId(device, true, &rc);
      if (rc != SQLITE_OK || (rc = file->setName(id, name)) != SQLITE_DONE) return rc;
      sqlite::Statement insert(db,
                               "INSERT OR REPLACE INTO samples(device, time, level, charging, "
                               "external) VALUES(?, ?, ?, ?, ?)");
      insert.bind(1, id);
      insert.bind(2, sample.time.microseconds());
      insert.bind(3, std::int64_t{sample.level});
      insert.bind(4, std::int64_t{sample.charging});
      insert.bind(5, std::int64_t{sample.external});
      return insert.run();
    });
  });
}

void SqliteHistoryStore::addEvent(const ModuleEventAt& event) {
  worker_->enqueue([file = file_, event] {
    file->perform("writing the module's start, stop, sleep or wake", [&](sqlite3* db) {
      sqlite::Statement insert(db, "INSERT INTO events(time, kind) VALUES(?, ?)");
      insert.bind(1, event.time.microseconds());
      insert.bind(2, std::string(kEventNames[static_cast<int>(event.event)]));
      return insert.run();
    });
  });
}

void SqliteHistoryStore::addHealth(const std::string& device, const std::string& name,
                                   std::chrono::sys_days day, const HealthReading& health) {
  worker_->enqueue([file = file_, device, name, day, health] {
    file->perform("writing a battery health reading", [&](sqlite3* db) {
      int rc = SQLITE_OK;
      const std::int64_t id = file->deviceId(device, true, &rc);
      if (rc != SQLITE_OK || (rc = file->setName(id, name)) != SQLITE_DONE) return rc;
      sqlite::Statement insert(db,
                               "INSERT OR REPLACE INTO health(device, day, time, cycle_count, "
                               "full_charge_mah, design_mah, max_capacity_percent) "
                               "VALUES(?, ?, ?, ?, ?, ?, ?)");
      insert.bind(1, id);
      insert.bind(2, std::int64_t{day.time_since_epoch().count()});
      insert.bind(3, health.time.microseconds());
      insert.bind(4, health.cycleCount);
      insert.bind(5, health.fullChargeCapacity);
      insert.bind(6, health.designCapacity);
      insert.bind(7, health.maxCapacity);
      return insert.run();
    });
  });
}

void SqliteHistoryStore::pruneBefore(Date cutoff, Date healthCutoff) {
  worker_->enqueue([file = file_, cutoff, healthCutoff] {
    file->perform("removing old history", [&](sqlite3* db) {
      file->forget();
      // A device with neither samples nor health rows left goes with its
      // name; a later row brings it back under a new number.
      const struct {
        const char* sql;
        Date before;
      } steps[] = {
          {"DELETE FROM samples WHERE time < ?", cutoff},
          {"DELETE FROM events WHERE time < ?", cutoff},
          {"DELETE FROM health WHERE time < ?", healthCutoff},
          {"DELETE FROM names WHERE "
           "NOT EXISTS (SELECT 1 FROM samples WHERE device = names.device) AND "
           "NOT EXISTS (SELECT 1 FROM health WHERE device = names.device)",
           {}},
          {"DELETE FROM devices WHERE "
           "NOT EXISTS (SELECT 1 FROM samples WHERE device = devices.id) AND "
           "NOT EXISTS (SELECT 1 FROM health WHERE device = devices.id)",
           {}},
      };
      for (const auto& step : steps) {
        sqlite::Statement remove(db, step.sql);
        if (sqlite3_bind_parameter_count(remove.stmt) > 0) {
          remove.bind(1, step.before.microseconds());
        }
        if (const int rc = remove.run(); rc != SQLITE_DONE) return rc;
      }
      return SQLITE_DONE;
    });
  });
}

template <class Result, class Query>
void SqliteHistoryStore::readThen(Query query, std::function<void(Result)> done) {
  worker_->enqueue(
      [file = file_, loop = &loop_, query = std::move(query), done = std::move(done)]() mutable {
        Result result;
        file->perform("reading the history", [&](sqlite3* db) {
          result = {};
          return query(*file, db, result);
        });
        loop->post([done = std::move(done), result = std::move(result)]() mutable {
          done(std::move(result));
        });
      });
}

void SqliteHistoryStore::read(const std::string& device, Date since,
                              std::function<void(Stored)> done) {
  readThen(
      [device, since](File& file, sqlite3* db, Stored& stored) {
        // One snapshot for both tables.
        if (const int rc = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr); rc != SQLITE_OK) {
          return rc;
        }
        int rc = SQLITE_OK;
        const std::int64_t id = file.deviceId(device, false, &rc);
        if (rc != SQLITE_OK) return rc;
        sqlite::Statement samples(db,
                                  "SELECT time, level, charging, external FROM samples "
                                  "WHERE device = ? AND time >= ? ORDER BY time");
        samples.bind(1, id);
        samples.bind(2, since.microseconds());
        while (id && (rc = samples.run()) == SQLITE_ROW) {
          stored.samples.push_back({Date::fromMicroseconds(samples.integer(0)),
                                    static_cast<std::uint8_t>(samples.integer(1)),
                                    samples.integer(2) != 0, samples.integer(3) != 0});
        }
        if (rc != SQLITE_DONE && rc != SQLITE_OK) return rc;
        sqlite::Statement events(
            db,
            "SELECT time, kind, n FROM (SELECT time, kind, rowid AS n FROM events "
            "WHERE time < ?1 ORDER BY time DESC, rowid DESC LIMIT 1) "
            "UNION ALL SELECT time, kind, rowid FROM events WHERE time >= ?1 "
            "ORDER BY time, n");
        events.bind(1, since.microseconds());
        while ((rc = events.run()) == SQLITE_ROW) {
          if (auto kind = eventNamed(events.text(1))) {
            stored.events.push_back({Date::fromMicroseconds(events.integer(0)), *kind});
          }
        }
        if (rc != SQLITE_DONE) return rc;
        return sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
      },
      std::move(done));
}

void SqliteHistoryStore::readDevices(Date since,
                                     std::function<void(std::vector<HistoryDevice>)> done) {
  readThen(
      [since](File&, sqlite3* db, std::vector<HistoryDevice>& found) {
        sqlite::Statement select(
            db,
            "SELECT bonjour, COALESCE(names.name, '') FROM devices "
            "LEFT JOIN names ON names.device = devices.id WHERE EXISTS "
            "(SELECT 1 FROM samples WHERE samples.device = devices.id AND time >= ?1) "
            "OR EXISTS (SELECT 1 FROM health WHERE health.device = devices.id AND time >= ?1) "
            "ORDER BY bonjour");
        select.bind(1, since.microseconds());
        int rc;
        while ((rc = select.run()) == SQLITE_ROW) found.push_back({select.text(0), select.text(1)});
        return rc;
      },
      std::move(done));
}

void SqliteHistoryStore::readHealth(const std::string& device, Date since,
                                    std::function<void(std::vector<HealthReading>)> done) {
  readThen(
      [device, since](File& file, sqlite3* db, std::vector<HealthReading>& found) {
        int rc = SQLITE_OK;
        const std::int64_t id = file.deviceId(device, false, &rc);
        if (rc != SQLITE_OK || !id) return rc;
        sqlite::Statement select(db,
                                 "SELECT time, cycle_count, full_charge_mah, design_mah, "
                                 "max_capacity_percent FROM health "
                                 "WHERE device = ? AND time >= ? ORDER BY time");
        select.bind(1, id);
        select.bind(2, since.microseconds());
        auto value = [&select](int col) -> std::optional<std::int32_t> {
          if (select.isNull(col)) return std::nullopt;
          return static_cast<std::int32_t>(select.integer(col));
        };
        while ((rc = select.run()) == SQLITE_ROW) {
          found.push_back(
              {Date::fromMicroseconds(select.integer(0)), value(1), value(2), value(3), value(4)});
        }
        return rc;
      },
      std::move(done));
}

}  // namespace nuv::linux_backend
