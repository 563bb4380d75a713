#include "platform/linux/sqlite/SqliteCloudStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "TempDir.h"

namespace nuv::linux_backend {
namespace {

namespace fs = std::filesystem;

template <class T>
T ok(const CloudResult<T>& result) {
  if (const auto* e = std::get_if<CloudError>(&result)) {
    ADD_FAILURE() << "unexpected error: " << e->message;
    return T{};
  }
  return std::get<T>(result);
}

template <class T>
CloudError failed(const CloudResult<T>& result) {
  if (const auto* e = std::get_if<CloudError>(&result)) return *e;
  ADD_FAILURE() << "unexpected success";
  return {};
}

CloudRecordData newRecord(const std::string& name, CloudFields fields) {
  CloudRecordData r;
  r.recordType = "Todo";
  r.recordID = CloudRecordID{name};
  for (auto& [k, v] : fields) r.changedKeys.insert(k);
  r.fields = std::move(fields);
  return r;
}

class SqliteCloudStoreTest : public ::testing::Test {
 protected:
  test::TempDir tmp;
  const fs::path dir = fs::path(tmp.path()) / "d";  // not made yet
  const std::string path = (dir / "sub" / "c.sqlite").string();
};

TEST_F(SqliteCloudStoreTest, SavesEveryFieldKindAndReturnsTheRecordAsStored) {
  SqliteCloudStore store(path);
  const CloudFields fields{{"Name", std::string("My Phone")},
                           {"Battery", std::int64_t{-9'000'000'000}},
                           {"state", CloudBool{true}},
                           {"seen", Date::fromMicroseconds(1'700'000'000'123'456)}};
  const auto saved = ok(store.save(newRecord("A", fields), CloudRecordSavePolicy::ChangedKeys));
  ASSERT_TRUE(saved.creationDate && saved.modificationDate && saved.recordChangeTag);
  EXPECT_EQ(saved.creationDate, saved.modificationDate);
  EXPECT_TRUE(saved.changedKeys.empty());

  // Read back from the file: every field kind survives.
  const auto all = ok(SqliteCloudStore(path).query(CloudQuery{"Todo"}, kCloudDefaultZoneName));
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0], saved);
  EXPECT_EQ(all[0].fields, fields);
  EXPECT_TRUE(ok(store.query(CloudQuery{"Other"}, kCloudDefaultZoneName)).empty());
  EXPECT_TRUE(ok(store.query(CloudQuery{"Todo"}, "elsewhere")).empty());

  // Saved again in quick succession: dates strictly increase, tags change.
  auto previous = saved;
  for (std::int64_t i = 1; i < 30; ++i) {
    const auto next =
        ok(store.save(newRecord("A", {{"Battery", i}}), CloudRecordSavePolicy::ChangedKeys));
    EXPECT_GT(*next.modificationDate, *previous.modificationDate);
    EXPECT_NE(next.recordChangeTag, previous.recordChangeTag);
    EXPECT_EQ(next.creationDate, saved.creationDate);
    previous = next;
  }
}

TEST_F(SqliteCloudStoreTest, ChangedKeysSaveWritesOnlyTheChangedFields) {
  SqliteCloudStore mine(path);
  SqliteCloudStore theirs(path);  // another process's connection
  ok(mine.save(newRecord("A", {{"Name", std::string("P")},
                               {"title", std::string("t")},
                               {"Battery", std::int64_t{10}}}),
               CloudRecordSavePolicy::ChangedKeys));
  auto fetched = ok(mine.query(CloudQuery{"Todo"}, kCloudDefaultZoneName)).at(0);

  auto edit = fetched;
  edit.fields["title"] = std::string("renamed");
  edit.changedKeys = {"title"};
  ok(theirs.save(edit, CloudRecordSavePolicy::ChangedKeys));

  // A stale copy with only "Battery" and "state" changed (one removed key too).
  fetched.fields["Battery"] = std::int64_t{85};
  fetched.fields["state"] = CloudBool{true};
  fetched.fields.erase("Name");
  fetched.changedKeys = {"Battery", "state"};
  const auto saved = ok(mine.save(fetched, CloudRecordSavePolicy::ChangedKeys));
  EXPECT_EQ(saved.fields, (CloudFields{{"Name", std::string("P")},
                                       {"title", std::string("renamed")},
                                       {"Battery", std::int64_t{85}},
                                       {"state", CloudBool{true}}}));

  fetched.changedKeys = {"Name"};  // a changed key that is absent removes the field
  EXPECT_FALSE(ok(mine.save(fetched, CloudRecordSavePolicy::ChangedKeys)).fields.count("Name"));
}

TEST_F(SqliteCloudStoreTest, SavePoliciesAndTypeChecks) {
  SqliteCloudStore store(path);
  const auto v1 = ok(store.save(newRecord("A", {{"a", std::int64_t{1}}, {"b", std::int64_t{2}}}),
                                CloudRecordSavePolicy::ChangedKeys));
  auto stale = v1;
  stale.changedKeys = {"a"};
  stale.fields["a"] = std::int64_t{5};
  ok(store.save(stale, CloudRecordSavePolicy::IfServerRecordUnchanged));
  EXPECT_EQ(failed(store.save(stale, CloudRecordSavePolicy::IfServerRecordUnchanged)).code,
            CloudErrorCode::ServerRecordChanged);

  auto whole = newRecord("A", {{"c", std::string("only")}});
  whole.changedKeys.clear();
  EXPECT_EQ(ok(store.save(whole, CloudRecordSavePolicy::AllKeys)).fields,
            (CloudFields{{"c", std::string("only")}}));

  auto wrongType = newRecord("A", {{"x", std::int64_t{1}}});
  wrongType.recordType = "Other";
  EXPECT_EQ(failed(store.save(wrongType, CloudRecordSavePolicy::ChangedKeys)).code,
            CloudErrorCode::InvalidArguments);
  EXPECT_EQ(failed(store.save(newRecord("", {}), CloudRecordSavePolicy::ChangedKeys)).code,
            CloudErrorCode::InvalidArguments);
  EXPECT_EQ(ok(store.query(CloudQuery{"Todo"}, kCloudDefaultZoneName)).at(0).fields.size(), 1u);
}

TEST_F(SqliteCloudStoreTest, DeleteAndQueryOrder) {
  SqliteCloudStore store(path);
  for (const char* n : {"c", "a", "b"}) {
    ok(store.save(newRecord(n, {{"title", std::string(n)}}), CloudRecordSavePolicy::ChangedKeys));
  }
  auto names = [&](CloudQuery q) {
    std::string out;
    for (const auto& r : ok(store.query(q, kCloudDefaultZoneName))) out += r.recordID.recordName;
    return out;
  };
  EXPECT_EQ(names(CloudQuery{"Todo"}), "cab");  // first-stored order
  EXPECT_EQ(names(CloudQuery{"Todo", {{"title", true}}}), "abc");
  EXPECT_EQ(names(CloudQuery{"Todo", {{"recordName", false}}}), "cba");

  EXPECT_FALSE(store.remove(CloudRecordID{"a"}));
  EXPECT_EQ(store.remove(CloudRecordID{"a"}).value().code, CloudErrorCode::UnknownItem);
  EXPECT_EQ(store.remove(CloudRecordID{"b", "otherZone"})->code, CloudErrorCode::UnknownItem);
  EXPECT_EQ(names(CloudQuery{"Todo"}), "cb");

  // A record saved again under a deleted name starts afresh.
  const auto back = ok(store.save(newRecord("a", {}), CloudRecordSavePolicy::ChangedKeys));
  EXPECT_TRUE(back.fields.empty());
}

TEST_F(SqliteCloudStoreTest, CorruptOrUnreachableFilesGiveErrorsAndRecover) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << std::string(8192, 'x');
  SqliteCloudStore store(path);
  const auto e = failed(store.query(CloudQuery{"Todo"}, kCloudDefaultZoneName));
  EXPECT_EQ(e.code, CloudErrorCode::BadDatabase);
  EXPECT_NE(e.message.find(path), std::string::npos);
  EXPECT_EQ(failed(store.save(newRecord("A", {}), CloudRecordSavePolicy::ChangedKeys)).code,
            CloudErrorCode::BadDatabase);
  EXPECT_TRUE(store.remove(CloudRecordID{"A"}));
  EXPECT_EQ(fs::file_size(path), 8192u);  // left as it was, not replaced

  fs::remove(path);  // repaired: the next call opens afresh
  EXPECT_TRUE(ok(store.query(CloudQuery{"Todo"}, kCloudDefaultZoneName)).empty());

  // A directory where the file should be, and a file where a directory should be.
  fs::create_directories(dir / "isdir.sqlite");
  EXPECT_TRUE(std::holds_alternative<CloudError>(
      SqliteCloudStore((dir / "isdir.sqlite").string()).query(CloudQuery{"Todo"}, "z")));
  EXPECT_TRUE(std::holds_alternative<CloudError>(
      SqliteCloudStore(path + "/below-a-file.sqlite").query(CloudQuery{"Todo"}, "z")));
}

TEST_F(SqliteCloudStoreTest, ConcurrentWritersOnOneFileLoseNothing) {
  constexpr int kWriters = 4;
  constexpr int kSaves = 25;
  {
    SqliteCloudStore setup(path);
    ok(setup.save(newRecord("shared", {}), CloudRecordSavePolicy::ChangedKeys));
  }
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      SqliteCloudStore store(path);
      for (int i = 0; i < kSaves; ++i) {
        ok(store.save(newRecord("shared", {{"w" + std::to_string(w), std::int64_t{i}}}),
                      CloudRecordSavePolicy::ChangedKeys));
      }
    });
  }
  for (auto& t : writers) t.join();
  SqliteCloudStore reader(path);
  const auto r = ok(reader.query(CloudQuery{"Todo"}, kCloudDefaultZoneName)).at(0);
  for (int w = 0; w < kWriters; ++w) {
    EXPECT_EQ(r.fields.at("w" + std::to_string(w)), CloudFieldValue(std::int64_t{kSaves - 1}));
  }
}

TEST_F(SqliteCloudStoreTest, FilesArePrivateAndASharedFolderKeepsItsMode) {
  const fs::path own = dir / "own" / "c.sqlite";
  {
    SqliteCloudStore store(own.string(), /*privateFolder=*/true);
    ok(store.save(newRecord("A", {{"Name", std::string("n")}}), CloudRecordSavePolicy::AllKeys));
    for (const char* suffix : {"", "-wal", "-shm"}) {
      EXPECT_EQ(test::modeOf(own.string() + suffix), 0600u) << suffix;
    }
    EXPECT_EQ(test::modeOf(own.parent_path()), 0700u);
    EXPECT_EQ(test::modeOf(dir), 0700u);  // made by the store
  }
  // Files and folders an older version left wider are tightened; a folder
  // that is not the store's own keeps its mode.
  fs::permissions(own.parent_path(), fs::perms(0755));
  fs::permissions(own, fs::perms(0644));
  ok(SqliteCloudStore(own.string(), true).query(CloudQuery("Todo"), kCloudDefaultZoneName));
  EXPECT_EQ(test::modeOf(own), 0600u);
  EXPECT_EQ(test::modeOf(own.parent_path()), 0700u);
  fs::permissions(dir, fs::perms(0755));
  const fs::path shared = dir / "shared.sqlite";
  SqliteCloudStore elsewhere(shared.string());
  ok(elsewhere.query(CloudQuery("Todo"), kCloudDefaultZoneName));
  EXPECT_EQ(test::modeOf(shared), 0600u);
  EXPECT_EQ(test::modeOf(dir), 0755u);
}

TEST_F(SqliteCloudStoreTest, OutsideChangesAreThoseOfOtherConnectionsOnly) {
  SqliteCloudStore mine(path);
  SqliteCloudStore theirs(path);
  EXPECT_FALSE(ok(mine.outsideChangesSinceLastCheck()));  // the baseline
  ok(mine.save(newRecord("A", {{"Name", std::string("n")}}), CloudRecordSavePolicy::AllKeys));
  EXPECT_FALSE(ok(mine.outsideChangesSinceLastCheck()));  // our own commit
  ok(theirs.save(newRecord("B", {{"Name", std::string("m")}}), CloudRecordSavePolicy::AllKeys));
  EXPECT_TRUE(ok(mine.outsideChangesSinceLastCheck()));
  EXPECT_FALSE(ok(mine.outsideChangesSinceLastCheck()));
  EXPECT_FALSE(theirs.remove(CloudRecordID{"A"}));
  EXPECT_TRUE(ok(mine.outsideChangesSinceLastCheck()));
}

}  // namespace
}  // namespace nuv::linux_backend
