#include "cloud/TodoFetcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "CloudFixture.h"

namespace nuv {
namespace {

using Events = std::vector<std::string>;
using Names = std::vector<std::string>;
using test::todoData;

class RecordingDelegate : public TodoFetcherDelegate {
 public:
  RecordingDelegate(Events& events, bool updates = true, bool failures = true)
      : events_(events), updates_(updates), failures_(failures) {}
  bool respondsTo(Message m) const override {
    return m == Message::TodoFetcherDidUpdateTodos ? updates_ : failures_;
  }
  void todoFetcherDidUpdateTodos(TodoFetcher&) override { events_.push_back("update"); }
  void todoFetcherDidFailWithError(TodoFetcher&, const CloudError& e) override {
    events_.push_back("fail:" + e.message);
    errors.push_back(e);
  }
  std::vector<CloudError> errors;

 private:
  Events& events_;
  bool updates_, failures_;
};

class TodoFetcherTest : public test::CloudFixture {
 protected:
  TodoFetcherTest() { fetcher->setDelegate(delegate); }
  void fetchSeeded(std::initializer_list<const char*> recordNames) {
    CloudFixture::fetchSeeded(recordNames);
    events.clear();
  }
  CloudRecordRef seeded(const std::string& name) {
    return std::make_shared<CloudRecord>(db.seed(todoData(name, "x")));
  }

  Events events;
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>(events);
};

TEST_F(TodoFetcherTest, FetchStoresTheListThenCompletesThenReports) {
  db.seed(todoData("A", "one"));
  db.seed(todoData("B", "two"));
  fetcher->fetch([&](std::optional<CloudError> e) {
    events.push_back(e ? "done:error" : "done");
    EXPECT_EQ(names(), (Names{"A", "B"}));  // stored before the completion runs
  });
  db.deliverAllOnThread();  // the completion arrives from another thread
  EXPECT_EQ(fetcher->todos(), nullptr);
  loop.runUntilIdle();
  EXPECT_EQ(events, (Events{"done", "update"}));
}

TEST_F(TodoFetcherTest, FailedFetchReportsBeforeCompletingAndKeepsTheList) {
  const CloudError error{CloudErrorCode::NetworkFailure, "offline", std::chrono::seconds(3)};
  db.failNextWith(error);
  fetcher->fetch(
      [&](std::optional<CloudError> e) { events.push_back("done:" + e.value().message); });
  settle();
  EXPECT_EQ(events, (Events{"fail:offline", "done:offline"}));
  EXPECT_EQ(delegate->errors, std::vector<CloudError>{error});  // unchanged, retry hint included
  EXPECT_EQ(fetcher->todos(), nullptr);
}

// A fetch replaces the list whole: RecordWriteQueueTest.ARecordRemovedMeanwhileIsNoLongerWritten.
TEST_F(TodoFetcherTest, AnEmptyFetchStoresAnEmptyList) {
  fetcher->fetch();
  settle();
  ASSERT_NE(fetcher->todos(), nullptr);
  EXPECT_TRUE(fetcher->todos()->empty());
}

TEST_F(TodoFetcherTest, MergeReplacesByRecordNameAddsAndSortsByModificationDate) {
  fetchSeeded({"A", "B", "C"});
  const auto before = fetcher->todos();
  // "B" saved again: newest now. Two incoming with one new name are both kept.
  auto newB = seeded("B");
  auto d1 = seeded("D");
  auto d2 = seeded("D");
  fetcher->mergeTodoArrayWithArray(
      {Todo::todoWithRecord(d2), Todo::todoWithRecord(newB), Todo::todoWithRecord(d1)});
  EXPECT_EQ(events, Events{});  // only queued
  loop.runUntilIdle();
  EXPECT_EQ(names(), (Names{"A", "C", "B", "D", "D"}));
  EXPECT_EQ(fetcher->todos()->at(2)->record(), newB);
  EXPECT_EQ(fetcher->todos()->at(4)->record(), d2);
  EXPECT_EQ(events, Events{"update"});
  EXPECT_EQ(test::namesOf(before), (Names{"A", "B", "C"}));

  events.clear();
  fetcher->mergeTodoArrayWithArray({});
  loop.runUntilIdle();
  EXPECT_EQ(events, Events{});
}

TEST_F(TodoFetcherTest, MergeIntoNoListSortsTheIncoming) {
  auto older = seeded("old");
  auto newer = seeded("new");
  fetcher->mergeTodoArrayWithArray({Todo::todoWithRecord(newer), Todo::todoWithRecord(older)});
  loop.runUntilIdle();
  EXPECT_EQ(names(), (Names{"old", "new"}));
}

TEST_F(TodoFetcherTest, ReportsReachOnlyAPresentDelegateThatRespondsToThem) {
  Events only;
  auto partial = std::make_shared<RecordingDelegate>(only, /*updates=*/false, /*failures=*/true);
  fetcher->setDelegate(partial);
  fetcher->reportDidUpdateTodos();
  fetcher->reportDidFailWithError(CloudError{CloudErrorCode::InternalError, "x", std::nullopt});
  EXPECT_TRUE(only.empty());  // queued, not delivered inline
  loop.runUntilIdle();
  EXPECT_EQ(only, Events{"fail:x"});

  // Held weakly: once the delegate is gone, reports reach no one.
  fetcher->reportDidUpdateTodos();
  partial.reset();
  loop.runUntilIdle();
  EXPECT_EQ(only, Events{"fail:x"});
  EXPECT_EQ(fetcher->delegate(), nullptr);
}

TEST_F(TodoFetcherTest, UpdateRecordSavesChangedKeysAndMergesTheSavedRecord) {
  fetchSeeded({"A", "B"});
  const CloudRecordRef a = fetcher->todos()->at(0)->record();
  a->setObjectForKey("Battery", std::int64_t{85});
  fetcher->updateRecord(a);
  a->setObjectForKey("Battery", std::int64_t{1});  // after the hand-over: not in this save

  ASSERT_EQ(db.saveCalls().size(), 1u);
  EXPECT_EQ(db.saveCalls()[0].policy, CloudRecordSavePolicy::ChangedKeys);
  EXPECT_EQ(db.saveCalls()[0].handedOver.changedKeys, (std::set<std::string>{"Battery"}));
  settle();
  EXPECT_EQ(db.stored("A")->fields.at("Battery"), CloudFieldValue(std::int64_t{85}));
  // The saved record is newest: its todo moves to the end.
  EXPECT_EQ(names(), (Names{"B", "A"}));
  EXPECT_NE(fetcher->todos()->at(1)->record(), a);
  EXPECT_EQ(events, Events{"update"});
}

TEST_F(TodoFetcherTest, FailedSaveReportsAndLeavesTheWrittenValuesInTheList) {
  fetchSeeded({"A"});
  const CloudRecordRef a = fetcher->todos()->at(0)->record();
  a->setObjectForKey("Battery", std::int64_t{40});
  db.failNextWith(CloudError{CloudErrorCode::QuotaExceeded, "full", std::nullopt});
  fetcher->updateRecord(a);
  settle();
  EXPECT_EQ(events, Events{"fail:full"});
  EXPECT_EQ(fetcher->todos()->at(0)->record(), a);
  EXPECT_EQ(a->objectForKey("Battery"), CloudFieldValue(std::int64_t{40}));
  EXPECT_FALSE(db.stored("A")->fields.count("Battery"));
}

TEST_F(TodoFetcherTest, AddSavesEachTodoAndListsItOnceSaved) {
  fetchSeeded({"A"});
  auto x = Todo::todoWithRecord(std::make_shared<CloudRecord>("Todo", CloudRecordID{"X"}));
  auto y = Todo::todoWithRecord(std::make_shared<CloudRecord>("Todo", CloudRecordID{"Y"}));
  fetcher->add({x, y});
  ASSERT_EQ(db.saveCalls().size(), 2u);
  EXPECT_EQ(db.saveCalls()[0].policy, CloudRecordSavePolicy::ChangedKeys);
  EXPECT_EQ(names(), (Names{"A"}));  // not before the cloud
  settle();
  EXPECT_EQ(names(), (Names{"A", "X", "Y"}));
}

TEST_F(TodoFetcherTest, RemoveTakesTheTodoOutOfTheListCurrentOnTheMainLoop) {
  fetchSeeded({"A", "B"});
  fetcher->remove(fetcher->todos()->at(0));
  // A merge queued before the deletion's result lands must survive it.
  fetcher->mergeTodoArrayWithArray({Todo::todoWithRecord(seeded("C"))});
  db.deliverAllOnThread();
  loop.runUntilIdle();
  EXPECT_EQ(names(), (Names{"B", "C"}));
  EXPECT_EQ(events, (Events{"update", "update"}));
  EXPECT_FALSE(db.stored("A"));
}

TEST_F(TodoFetcherTest, RemoveEdgeCases) {
  // Null todos: stays null, still reports.
  fetcher->remove(Todo::todoWithRecord(seeded("A")));
  settle();
  EXPECT_EQ(fetcher->todos(), nullptr);
  EXPECT_EQ(events, Events{"update"});

  fetchSeeded({"B"});
  fetcher->remove(TodoRef());  // nothing
  EXPECT_EQ(db.pendingCount(), 0u);

  // Not in the list: deleted in the cloud, list stored again unchanged.
  auto stranger = Todo::todoWithRecord(seeded("S"));
  fetcher->remove(TodoFetcher::TodoList{stranger});
  settle();
  EXPECT_EQ(names(), (Names{"B"}));
  EXPECT_EQ(events, Events{"update"});

  // Unknown in the cloud: an error, the list untouched.
  fetcher->remove(stranger);
  settle();
  ASSERT_EQ(delegate->errors.size(), 1u);
  EXPECT_EQ(delegate->errors[0].code, CloudErrorCode::UnknownItem);
  EXPECT_EQ(names(), (Names{"B"}));
}

// What is subscribed to: CloudKitDatabaseTest.DeleteSubscribeTimeoutAndNoServer.
TEST_F(TodoFetcherTest, OnlyAFailedSubscriptionIsReported) {
  fetcher->registerSubscriptions();
  db.failNextWith(CloudError{CloudErrorCode::PermissionFailure, "denied", std::nullopt});
  fetcher->registerSubscriptions();
  settle();
  EXPECT_EQ(events, Events{"fail:denied"});
}

TEST(TodoFetcherWithoutContainer, EveryCallFailsThroughTheReports) {
  fake::FakeRunLoop loop;
  auto fetcher = TodoFetcher::create(loop, nullptr);
  Events events;
  auto delegate = std::make_shared<RecordingDelegate>(events);
  fetcher->setDelegate(delegate);
  std::optional<CloudError> result;
  fetcher->fetch([&](std::optional<CloudError> e) { result = e; });
  fetcher->updateRecord(std::make_shared<CloudRecord>("Todo"));
  loop.runUntilIdle();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->code, CloudErrorCode::BadContainer);
  EXPECT_EQ(events.size(), 2u);
}

// A record written on one thread while a worker saves it: the save sees one
// consistent snapshot and there is no data race (run under TSan).
TEST_F(TodoFetcherTest, WritesDuringASaveDoNotRace) {
  fetchSeeded({"A"});
  const CloudRecordRef a = fetcher->todos()->at(0)->record();
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (std::int64_t i = 0; !stop; ++i) a->setObjectForKey("Battery", i);
  });
  for (int i = 0; i < 50; ++i) {
    fetcher->updateRecord(a);
    db.deliverAllOnThread();
  }
  stop = true;
  writer.join();
  loop.runUntilIdle();
  EXPECT_EQ(db.saveCalls().size(), 50u);
}

}  // namespace
}  // namespace nuv
