#pragma once

#include <memory>
#include <string>

#include "platform/HistoryStore.h"

namespace nuv {
class RunLoop;
}

namespace nuv::linux_backend {

class SerialWorker;

// The battery history in one SQLite file, written and read by a worker thread
// of its own (SerialWorker) so that no statement ever runs on the loop; read
// results are posted to the loop.
//
// The file (WAL, 1 s busy timeout) is opened on first use and again on the
// next call after a failed open; every open makes the folder 0700 and the
// database with its -wal and -shm files 0600. A file that SQLite finds
// corrupt (or not a database at all) is renamed to
// "<file>.corrupt-<ISO 8601 time>", with its -wal and -shm, a new one is
// started and the call is tried once more on it; one warning says so. Any
// other failure (a full disk, a file locked by another process) loses that
// call's rows: one warning per kind of failure until a write works again.
class SqliteHistoryStore : public HistoryStore {
 public:
  SqliteHistoryStore(RunLoop& loop, std::string path);
  ~SqliteHistoryStore() override;  // drops what is still queued
  SqliteHistoryStore(const SqliteHistoryStore&) = delete;
  SqliteHistoryStore& operator=(const SqliteHistoryStore&) = delete;

  // $XDG_STATE_HOME/NUVModule/history.sqlite (~/.local/state by default).
  static std::string defaultPath();

  void addSample(const std::string& device, const std::string& name,
                 const BatterySample& sample) override;
  void addEvent(const ModuleEventAt& event) override;
  void addHealth(const std::string& device, const std::string& name, std::chrono::sys_days day,
                 const HealthReading& health) override;
  void pruneBefore(Date cutoff, Date healthCutoff) override;
  void read(const std::string& device, Date since, std::function<void(Stored)> done) override;
  void readDevices(Date since, std::function<void(std::vector<HistoryDevice>)> done) override;
  void readHealth(const std::string& device, Date since,
                  std::function<void(std::vector<HealthReading>)> done) override;
  void flush(Milliseconds timeout) override;

  // Blocks until every call made before has been carried out.
  void waitUntilIdle();

 private:
  class File;

  // Runs `query` (File&, sqlite3*, Result& -> SQLITE_OK/DONE or what failed)
  // on the worker and hands its Result to `done` on the loop; a read that
  // fails gives an empty one.
  template <class Result, class Query>
  void readThen(Query query, std::function<void(Result)> done);

  RunLoop& loop_;
  std::shared_ptr<File> file_;  // worker thread only
  std::shared_ptr<SerialWorker> worker_;
};

}  // namespace nuv::linux_backend
