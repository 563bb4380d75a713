#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>

// What the SQLite stores share: prepared statements that finalize
// themselves, and private files.
namespace nuv::linux_backend::sqlite {

// A prepared statement; `rc` holds the outcome of preparing it.
struct Statement {
  sqlite3_stmt* stmt = nullptr;
  int rc = SQLITE_OK;
  Statement(sqlite3* db, const char* sql) { rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr); }
  ~Statement() { sqlite3_finalize(stmt); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  void bind(int i, const std::string& s) {
    sqlite3_bind_text(stmt, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
  }
  void bind(int i, std::int64_t v) { sqlite3_bind_int64(stmt, i, v); }
  // NULL for none.
  void bind(int i, std::optional<std::int64_t> v) {
    if (v) {
      bind(i, *v);
    } else {
      sqlite3_bind_null(stmt, i);
    }
  }
  int step() { return sqlite3_step(stmt); }
  // Prepared, then run to its end: SQLITE_DONE, or what failed.
  int run() { return rc != SQLITE_OK ? rc : step(); }
  std::int64_t integer(int col) const { return sqlite3_column_int64(stmt, col); }
  std::string text(int col) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, col));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt, col)))
             : std::string();
  }
  bool isNull(int col) const { return sqlite3_column_type(stmt, col) == SQLITE_NULL; }
};

// Before a database at `path` is opened: missing folders are made 0700 (and
// the file's own folder tightened to 0700 when `privateFolder`), the file is
// created 0600 if missing, and the file with its -wal and -shm files is
// tightened to 0600 (SQLite gives -wal and -shm the database file's mode).
// False with the reason in `error` when a folder cannot be made.
bool makePrivate(const std::string& path, bool privateFolder, std::string* error);

}  // namespace nuv::linux_backend::sqlite
