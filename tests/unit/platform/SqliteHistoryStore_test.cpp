// The battery history on a real SQLite file: order, pruning, file modes, and
// the faults that lose rows (a locked file) or the file (corruption).

#include "platform/linux/sqlite/SqliteHistoryStore.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "TempDir.h"
#include "platform/Log.h"
#include "platform/fake/FakeRunLoop.h"

namespace nuv::linux_backend {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::SizeIs;

Date at(std::int64_t seconds) { return Date::fromMicroseconds(seconds * 1'000'000); }

mode_t modeOf(const fs::path& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class SqliteHistoryStoreTest : public ::testing::Test {
 protected:
  SqliteHistoryStoreTest() {
    log::setSink([this](log::Level level, std::string_view line) {
      if (level >= log::Level::Warning) warnings.emplace_back(line);
    });
  }
  ~SqliteHistoryStoreTest() override { log::setSink(nullptr); }

  template <class Result>
  Result arrived(const std::function<void(std::function<void(Result)>)>& start) {
    std::optional<Result> got;
    start([&](Result r) { got = std::move(r); });
    store.waitUntilIdle();
    EXPECT_FALSE(got) << "the result must come through the loop";
    loop.runUntilIdle();
    return got.value_or(Result{});
  }
  HistoryStore::Stored read(const std::string& device, Date since) {
    return arrived<HistoryStore::Stored>([&](auto done) { store.read(device, since, done); });
  }
  std::vector<HistoryDevice> devices(Date since) {
    return arrived<std::vector<HistoryDevice>>([&](auto done) { store.readDevices(since, done); });
  }
  std::vector<HealthReading> health(const std::string& device, Date since) {
    return arrived<std::vector<HealthReading>>(
        [&](auto done) { store.readHealth(device, since, done); });
  }

  test::TempDir tmp;
  const fs::path dir = fs::path(tmp.path()) / "state" / "NUVModule";
  const std::string path = (dir / "history.sqlite").string();
  fake::FakeRunLoop loop;
  SqliteHistoryStore store{loop, path};
  std::vector<std::string> warnings;
};

TEST_F(SqliteHistoryStoreTest, ReadsOneDevicesSamplesInOrderWithTheEventsLedByTheLastBefore) {
  store.addEvent({at(100), ModuleEvent::Start});
  store.addSample("a", "", {at(110), 50, false, false});
  store.addSample("b", "", {at(120), 70, true, true});
  store.addEvent({at(130), ModuleEvent::Sleep});
  store.addSample("a", "", {at(150), 49, true, true});
  store.addEvent({at(140), ModuleEvent::Wake});
  store.addSample("a", "", {at(140), 48, false, true});
  const auto got = read("a", at(135));
  EXPECT_THAT(got.samples, ElementsAre(BatterySample{at(140), 48, false, true},
                                       BatterySample{at(150), 49, true, true}));
  EXPECT_THAT(got.events, ElementsAre(ModuleEventAt{at(130), ModuleEvent::Sleep},
                                      ModuleEventAt{at(140), ModuleEvent::Wake}));
  EXPECT_THAT(read("unknown", at(0)).samples, SizeIs(0));
  EXPECT_TRUE(warnings.empty());
}

// Pruning keeps what is exactly at the cutoff, samples and events alike.
TEST_F(SqliteHistoryStoreTest, ListsDevicesWithSamplesSinceUnderTheirLastNamePruneDropsTheRest) {
  store.addEvent({at(99), ModuleEvent::Start});
  store.addEvent({at(100), ModuleEvent::Wake});
  store.addSample("b", "Old", {at(99), 49, false, false});
  store.addSample("b", "Old", {at(100), 50, false, false});
  store.addSample("b", "", {at(110), 51, false, false});
  store.addSample("a", "iPad", {at(90), 40, false, false});
  store.addSample("a", "Renamed", {at(95), 41, false, false});
  store.addSample("c", "Gone", {at(50), 40, false, false});
  EXPECT_THAT(devices(at(60)),
              ElementsAre(HistoryDevice{"a", "Renamed"}, HistoryDevice{"b", "Old"}));
  store.pruneBefore(at(100), at(100));
  const auto b = read("b", at(0));
  EXPECT_THAT(b.samples, ElementsAre(BatterySample{at(100), 50, false, false},
                                     BatterySample{at(110), 51, false, false}));
  EXPECT_THAT(b.events, ElementsAre(ModuleEventAt{at(100), ModuleEvent::Wake}));
  store.addSample("c", "", {at(140), 40, false, false});  // back as a new device
  EXPECT_THAT(devices(at(0)), ElementsAre(HistoryDevice{"b", "Old"}, HistoryDevice{"c", ""}));
  EXPECT_TRUE(warnings.empty());
}

// A file of the version before health rows gains their table. Pruning keeps
// a health row exactly at its own cutoff, and the device and name of one
// that still has health rows when its samples are gone; such a device is
// listed.
TEST_F(SqliteHistoryStoreTest, HealthRowsOnePerDayLastReadingWinsKeptOnTheirOwnCutoff) {
  fs::create_directories(dir);
  sqlite3* old = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &old), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(old, R"sql(
      CREATE TABLE devices(id INTEGER PRIMARY KEY, bonjour TEXT NOT NULL UNIQUE);
      CREATE TABLE names(device INTEGER PRIMARY KEY, name TEXT NOT NULL);
      CREATE TABLE samples(device INTEGER NOT NULL, time INTEGER NOT NULL, level INTEGER NOT NULL,
        charging INTEGER NOT NULL, external INTEGER NOT NULL, PRIMARY KEY(device, time))
        WITHOUT ROWID;
      CREATE TABLE events(time INTEGER NOT NULL, kind TEXT NOT NULL);
      INSERT INTO devices VALUES(1, 'a');
      INSERT INTO names VALUES(1, 'Old Phone');
      INSERT INTO samples VALUES(1, 50000000, 80, 0, 0);)sql",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(old);

  using std::chrono::days;
  const std::chrono::sys_days first{days(1)}, second{days(2)};
  const HealthReading kept{at(100), 500, 2815, 3279, 107};
  const HealthReading unknowns{at(200), std::nullopt, std::nullopt, std::nullopt, 85};
  store.addHealth("a", "", first, {at(90), 499, 2820, 3279, 108});  // replaced the same day
  store.addHealth("a", "", first, kept);
  store.addHealth("a", "", second, unknowns);
  store.addHealth("b", "Gone", first, {at(99), 1, 2, 3, 4});
  EXPECT_THAT(read("a", at(0)).samples, ElementsAre(BatterySample{at(50), 80, false, false}));
  EXPECT_THAT(health("a", at(0)), ElementsAre(kept, unknowns));
  EXPECT_THAT(health("a", at(101)), ElementsAre(unknowns));
  EXPECT_THAT(health("unknown", at(0)), SizeIs(0));

  store.pruneBefore(at(300), at(100));  // every sample; health rows before 100
  EXPECT_THAT(health("a", at(0)), ElementsAre(kept, unknowns));
  EXPECT_THAT(health("b", at(0)), SizeIs(0));
  // Listed by its health rows alone, up to the last of them.
  EXPECT_THAT(devices(at(200)), ElementsAre(HistoryDevice{"a", "Old Phone"}));
  EXPECT_THAT(devices(at(201)), SizeIs(0));
  store.addSample("a", "", {at(400), 70, false, false});
  store.addSample("b", "", {at(400), 70, false, false});  // back without its name
  EXPECT_THAT(devices(at(0)), ElementsAre(HistoryDevice{"a", "Old Phone"}, HistoryDevice{"b", ""}));
  EXPECT_TRUE(warnings.empty());
}

TEST_F(SqliteHistoryStoreTest, CorruptFileIsMovedAsideOnceAndANewOneStarted) {
  fs::create_directories(dir);
  std::ofstream(path) << std::string(8192, 'x');
  store.addSample("a", "", {at(1), 10, false, false});
  store.addSample("a", "", {at(2), 11, false, false});
  EXPECT_THAT(read("a", at(0)).samples, SizeIs(2));
  ASSERT_THAT(warnings, SizeIs(1));
  EXPECT_THAT(warnings[0], HasSubstr("corrupt"));
  int aside = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename().string().starts_with("history.sqlite.corrupt-20")) {
      ++aside;
      EXPECT_EQ(fs::file_size(e.path()), 8192u);
    }
  }
  EXPECT_EQ(aside, 1);
}

// Also: the folder and files are private, and the journal is a WAL.
TEST_F(SqliteHistoryStoreTest, LockedFileLosesRowsWithOneWarningUntilWritesWorkAgain) {
  store.addSample("a", "", {at(1), 10, false, false});
  store.waitUntilIdle();
  EXPECT_EQ(modeOf(dir), 0700u);
  for (const char* suffix : {"", "-wal", "-shm"}) EXPECT_EQ(modeOf(path + suffix), 0600u) << suffix;
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  store.addSample("a", "", {at(2), 11, false, false});
  store.addSample("a", "", {at(3), 12, false, false});
  store.waitUntilIdle();
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  store.addSample("a", "", {at(4), 13, false, false});
  const auto got = read("a", at(0));
  ASSERT_THAT(got.samples, SizeIs(2));
  EXPECT_EQ(got.samples[1].level, 13);
  ASSERT_THAT(warnings, SizeIs(1));
  EXPECT_THAT(warnings[0], HasSubstr("locked"));
}

}  // namespace
}  // namespace nuv::linux_backend
