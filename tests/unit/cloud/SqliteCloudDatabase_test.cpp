#include "platform/linux/sqlite/SqliteCloudDatabase.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

#include "TempDir.h"
#include "platform/linux/sqlite/SqliteCloudContainer.h"

namespace nuv::linux_backend {
namespace {

namespace fs = std::filesystem;

class SqliteCloudDatabaseTest : public ::testing::Test {
 protected:
  test::TempDir tmp;
  const fs::path dir = fs::path(tmp.path()) / "d";  // not made yet
};

std::shared_ptr<CloudModifyRecordsOperation> saveOf(
    CloudRecordRef record, std::function<void(CloudRecordRef, std::optional<CloudError>)> done) {
  auto op = std::make_shared<CloudModifyRecordsOperation>(std::vector<CloudRecordRef>{record});
  op->setSavePolicy(CloudRecordSavePolicy::ChangedKeys);
  op->setPerRecordCompletionBlock(std::move(done));
  return op;
}

TEST_F(SqliteCloudDatabaseTest, RunsCallsInOrderOnAWorkerThreadWithTheHandedOverContent) {
  SqliteCloudDatabase db((dir / "c.sqlite").string());
  auto record = std::make_shared<CloudRecord>("Todo", CloudRecordID{"A"});
  record->setObjectForKey("Battery", std::int64_t{85});

  std::vector<std::string> order;
  std::mutex m;
  std::set<std::thread::id> threads;
  auto note = [&](const std::string& what) {
    std::lock_guard lock(m);
    order.push_back(what);
    threads.insert(std::this_thread::get_id());
  };
  std::promise<CloudRecordRef> saved;
  db.addOperation(saveOf(record, [&](CloudRecordRef r, std::optional<CloudError> e) {
    note(e ? "save:" + e->message : "save");
    saved.set_value(r);
  }));
  record->setObjectForKey("Battery", std::int64_t{1});  // after the hand-over
  db.performQuery(CloudQuery{"Todo"}, std::nullopt,
                  [&](std::vector<CloudRecordRef> rs, std::optional<CloudError>) {
                    note("query:" + std::to_string(rs.size()));
                  });
  db.deleteRecordWithID(CloudRecordID{"nope"}, [&](CloudRecordID, std::optional<CloudError> e) {
    note(e && e->code == CloudErrorCode::UnknownItem ? "delete:unknown" : "delete:?");
  });
  db.waitUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"save", "query:1", "delete:unknown"}));
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_FALSE(threads.count(std::this_thread::get_id()));
  auto result = saved.get_future().get();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->objectForKey("Battery"), CloudFieldValue(std::int64_t{85}));
}

TEST_F(SqliteCloudDatabaseTest, DestroyingDropsQueuedWorkAndNeverHangs) {
  std::atomic<int> completions{0};
  {
    SqliteCloudDatabase db((dir / "c.sqlite").string());
    for (int i = 0; i < 200; ++i) {
      auto r = std::make_shared<CloudRecord>("Todo", CloudRecordID{"R" + std::to_string(i)});
      r->setObjectForKey("i", std::int64_t{i});
      db.addOperation(saveOf(r, [&](CloudRecordRef, std::optional<CloudError>) { ++completions; }));
    }
  }
  const int seen = completions.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(completions.load(), seen);  // nothing runs after destruction
}

TEST(SqliteCloudContainer, PathsAndFactory) {
  setenv("XDG_DATA_HOME", "/xdg/data", 1);
  EXPECT_EQ(SqliteCloudContainer::defaultDirectory(), "/xdg/data/vemo.Tallyport.NUVModule/cloud");
  setenv("XDG_DATA_HOME", "relative", 1);  // not absolute: ignored
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(SqliteCloudContainer::defaultDirectory(),
            "/home/u/.local/share/vemo.Tallyport.NUVModule/cloud");
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(SqliteCloudContainer::databasePath("/d", "iCloud.vemo.voltaline.Voltaline"),
            "/d/iCloud.vemo.voltaline.Voltaline.sqlite");
  EXPECT_EQ(SqliteCloudContainer::databasePath("/d", "../x/y"), "/d/_.._x_y.sqlite");

  auto factory = SqliteCloudContainer::factory("/tmp/nuv-factory-unused");
  auto a = factory("one");
  EXPECT_EQ(a, factory("one"));
  EXPECT_NE(a, factory("two"));
  EXPECT_EQ(a->privateCloudDatabase(), a->privateCloudDatabase());
}

}  // namespace
}  // namespace nuv::linux_backend
