#include "cloud/TodoFetcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/fake/FakeCloudDatabase.h"
#include "platform/fake/FakeRunLoop.h"

namespace nuv {
namespace {

using Events = std::vector<std::string>;

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

CloudRecordData recordData(const std::string& recordName, const std::string& deviceName) {
  CloudRecordData r;
  r.recordType = "Todo";
  r.recordID = CloudRecordID{recordName};
  r.fields = {{"Name", deviceName}, {"title", std::string("t-") + recordName}};
  return r;
}

std::vector<std::string> names(const TodoFetcher::TodoListRef& list) {
  std::vector<std::string> out;
  if (list) {
    for (const auto& t : *list) out.push_back(t->record()->recordID().recordName);
  }
  return out;
}

class TodoFetcherTest : public ::testing::Test {
 protected:
  TodoFetcherTest()
      : container(std::make_shared<fake::FakeCloudContainer>(TodoFetcher::kContainerIdentifier)),
        db(*container->fakeDatabase()),
        fetcher(TodoFetcher::create(loop, container)),
        delegate(std::make_shared<RecordingDelegate>(events)) {
    fetcher->setDelegate(delegate);
  }
  // Queued cloud work holds the store, which holds the database: run it out.
  ~TodoFetcherTest() override { settle(); }

  // Runs the backend's work and then the main loop, until both are quiet;
  // work that falls due later (retries) stays for the test to reach.
  void settle() {
    auto dueNow = [this] { return loop.nextTaskDelay() == Milliseconds(0); };
    while (db.pendingCount() > 0 || dueNow()) {
      db.deliverAll();
      loop.runUntilIdle();
    }
  }

  void fetchSeeded(std::initializer_list<const char*> recordNames) {
    for (const char* n : recordNames) db.seed(recordData(n, std::string("dev-") + n));
    fetcher->fetch();
    settle();
    events.clear();
  }

  fake::FakeRunLoop loop;
  std::shared_ptr<fake::FakeCloudContainer> container;
  fake::FakeCloudDatabase& db;
  std::shared_ptr<TodoFetcher> fetcher;
  Events events;
  std::shared_ptr<RecordingDelegate> delegate;
};

TEST_F(TodoFetcherTest, FetchStoresTheListThenCompletesThenReports) {
  db.seed(recordData("A", "one"));
  db.seed(recordData("B", "two"));
  fetcher->fetch([&](std::optional<CloudError> e) {
    events.push_back(e ? "done:error" : "done");
    // The list is already stored when the completion runs.
    EXPECT_EQ(names(fetcher->todos()), (std::vector<std::string>{"A", "B"}));
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

TEST_F(TodoFetcherTest, EmptyAndRepeatedFetchesReplaceTheListWhole) {
  fetcher->fetch([&](std::optional<CloudError> e) { events.push_back(e ? "error" : "done"); });
  settle();
  ASSERT_NE(fetcher->todos(), nullptr);
  EXPECT_TRUE(fetcher->todos()->empty());
  EXPECT_EQ(events, (Events{"done", "update"}));

  db.seed(recordData("A", "one"));
  fetcher->fetch();
  settle();
  auto mergedOnly = recordData("merged-only", "x");  // saved elsewhere, not in this database
  mergedOnly.modificationDate = Date::fromMicroseconds(4'000'000'000'000'000);
  fetcher->mergeTodoArrayWithArray(
      {Todo::todoWithRecord(std::make_shared<CloudRecord>(mergedOnly))});
  db.seed(recordData("B", "two"));
  fetcher->fetch();
  settle();
  EXPECT_EQ(names(fetcher->todos()), (std::vector<std::string>{"A", "B"}));
}

TEST_F(TodoFetcherTest, MergeReplacesByRecordNameAddsAndSortsByModificationDate) {
  fetchSeeded({"A", "B", "C"});
  const auto before = fetcher->todos();

  // "B" saved again: newest now. Two incoming with one new name are both kept.
  auto newB = std::make_shared<CloudRecord>(db.seed(recordData("B", "two-again")));
  auto d1 = std::make_shared<CloudRecord>(db.seed(recordData("D", "four")));
  auto d2 = std::make_shared<CloudRecord>(db.seed(recordData("D", "four-again")));
  fetcher->mergeTodoArrayWithArray(
      {Todo::todoWithRecord(d2), Todo::todoWithRecord(newB), Todo::todoWithRecord(d1)});
  EXPECT_EQ(events, Events{});  // only queued
  loop.runUntilIdle();
  EXPECT_EQ(names(fetcher->todos()), (std::vector<std::string>{"A", "C", "B", "D", "D"}));
  EXPECT_EQ(fetcher->todos()->at(2)->record(), newB);
  EXPECT_EQ(fetcher->todos()->at(4)->record(), d2);
  EXPECT_EQ(events, Events{"update"});
  EXPECT_EQ(names(before), (std::vector<std::string>{"A", "B", "C"}));

  events.clear();
  fetcher->mergeTodoArrayWithArray({});
  loop.runUntilIdle();
  EXPECT_EQ(events, Events{});
  EXPECT_EQ(fetcher->todos()->size(), 5u);
}

TEST_F(TodoFetcherTest, MergeIntoNoListSortsTheIncoming) {
  auto older = std::make_shared<CloudRecord>(db.seed(recordData("old", "x")));
  auto newer = std::make_shared<CloudRecord>(db.seed(recordData("new", "y")));
  fetcher->mergeTodoArrayWithArray({Todo::todoWithRecord(newer), Todo::todoWithRecord(older)});
  loop.runUntilIdle();
  EXPECT_EQ(names(fetcher->todos()), (std::vector<std::string>{"old", "new"}));
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
  EXPECT_EQ(names(fetcher->todos()), (std::vector<std::string>{"B", "A"}));
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

TEST_F(TodoFetcherTest, UnknownRecordIsAddedAndAddSavesEachTodo) {
  fetchSeeded({"A"});
  fetcher->add({});
  EXPECT_EQ(db.pendingCount(), 0u);

  auto x = Todo::todoWithRecord(std::make_shared<CloudRecord>("Todo", CloudRecordID{"X"}));
  auto y = Todo::todoWithRecord(std::make_shared<CloudRecord>("Todo", CloudRecordID{"Y"}));
  fetcher->add({x, y});
  ASSERT_EQ(db.saveCalls().size(), 2u);
  EXPECT_EQ(db.saveCalls()[0].handedOver.recordID.recordName, "X");
  EXPECT_EQ(names(fetcher->todos()), (std::vector<std::string>{"A"}));  // not before the cloud
  settle();
  EXPECT_EQ(names(fetcher->todos()), (std::vector<std::string>{"A", "X", "Y"}));
}

TEST_F(TodoFetcherTest, RemoveTakesTheTodoOutOfTheListCurrentOnTheMainLoop) {
  fetchSeeded({"A", "B"});
  const auto a = fetcher->todos()->at(0);
  fetcher->remove(a);
  ASSERT_EQ(db.deleteCalls().size(), 1u);
  EXPECT_EQ(db.deleteCalls()[0].recordName, "A");
  // A merge queued before the deletion's result lands must survive it.
  auto c = std::make_shared<CloudRecord>(db.seed(recordData("C", "three")));
  fetcher->mergeTodoArrayWithArray({Todo::todoWithRecord(c)});
  db.deliverAllOnThread();
  loop.runUntilIdle();
  EXPECT_EQ(names(fetcher->todos()), (std::vector<std::string>{"B", "C"}));
  EXPECT_EQ(events, (Events{"update", "update"}));
  EXPECT_FALSE(db.stored("A"));
}

TEST_F(TodoFetcherTest, RemoveEdgeCases) {
  // Null todos: stays null, still reports.
  db.seed(recordData("A", "one"));
  fetcher->remove(Todo::todoWithRecord(std::make_shared<CloudRecord>(recordData("A", "one"))));
  settle();
  EXPECT_EQ(fetcher->todos(), nullptr);
  EXPECT_EQ(events, Events{"update"});

  fetchSeeded({"B"});
  fetcher->remove(TodoRef());  // nothing
  EXPECT_EQ(db.pendingCount(), 0u);

  // Not in the list: deleted in the cloud, list stored again unchanged.
  auto stranger =
      Todo::todoWithRecord(std::make_shared<CloudRecord>(db.seed(recordData("S", "s"))));
  const auto before = fetcher->todos();
  fetcher->remove(TodoFetcher::TodoList{stranger});
  settle();
  EXPECT_EQ(names(fetcher->todos()), (std::vector<std::string>{"B"}));
  EXPECT_EQ(events, Events{"update"});

  // Unknown in the cloud: an error, the list untouched.
  events.clear();
  fetcher->remove(stranger);
  settle();
  ASSERT_EQ(delegate->errors.size(), 1u);
  EXPECT_EQ(delegate->errors[0].code, CloudErrorCode::UnknownItem);
  EXPECT_EQ(names(fetcher->todos()), (std::vector<std::string>{"B"}));
}

TEST_F(TodoFetcherTest, RegisterSubscriptionsSavesAQuerySubscriptionOnEveryTodo) {
  fetcher->registerSubscriptions();
  db.failNextWith(CloudError{CloudErrorCode::PermissionFailure, "denied", std::nullopt});
  fetcher->registerSubscriptions();
  settle();
  ASSERT_EQ(db.subscriptions().size(), 1u);
  EXPECT_EQ(db.subscriptions()[0].options, 7u);
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
  EXPECT_EQ(fetcher->todos(), nullptr);
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
  EXPECT_EQ(fetcher->todos()->size(), 1u);
}

}  // namespace
}  // namespace nuv
