#include "app/CloudRecordBridge.h"

#include <gtest/gtest.h>

#include <limits>

#include "app/AppDelegate.h"
#include "cloud/TodoFetcher.h"
#include "cloud/TodoListRefresher.h"
#include "platform/fake/FakeApplication.h"
#include "platform/fake/FakeCloudDatabase.h"
#include "platform/fake/FakeNotificationCenter.h"
#include "platform/fake/FakeProcess.h"
#include "platform/fake/FakeRunLoop.h"

namespace nuv {
namespace {

using B = CloudRecordBridge;

TEST(CloudRecordBridge, IntegerReading) {
  constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  const std::pair<std::int32_t, std::vector<std::string>> cases[] = {
      {85, {"85", "85%"}},
      {-12, {"  \t-12x"}},
      {7, {"+7", "007"}},
      {0, {"abc", "", "%85", "- 5"}},
      {kMax, {"2147483647", "2147483648", "99999999999999999999999"}},
      {kMin, {"-2147483648", "-2147483649"}}};
  for (const auto& [expected, texts] : cases) {
    for (const auto& text : texts) EXPECT_EQ(B::integerValue(text), expected) << '"' << text << '"';
  }
  EXPECT_EQ(B::integerValue(std::nullopt), 0);
}

TEST(CloudRecordBridge, BooleanReading) {
  for (const char* yes : {"Yes", "true", "1", "T", "y", "  +0001", "0009", "-1", "tomato"}) {
    EXPECT_TRUE(B::boolValue(yes)) << yes;
  }
  for (const char* no : {"No", "false", "0", "", "000", "-0", " ", "x1", "0x1"}) {
    EXPECT_FALSE(B::boolValue(no)) << no;
  }
  EXPECT_FALSE(B::boolValue(std::nullopt));
}

class BridgeTest : public ::testing::Test {
 protected:
  BridgeTest()
      : container(std::make_shared<fake::FakeCloudContainer>("c")),
        db(*container->fakeDatabase()),
        fetcher(TodoFetcher::create(loop, container)) {}
  // Queued saves hold the store, which holds the database: run them out.
  ~BridgeTest() override {
    db.deliverAll();
    loop.runUntilIdle();
  }

  void load(std::vector<std::pair<std::string, std::optional<std::string>>> records) {
    for (const auto& [recordName, deviceName] : records) {
      CloudRecordData r{"Todo", CloudRecordID{recordName}, {}, {}, {}, {}, {}};
      if (deviceName) r.fields["Name"] = *deviceName;
      r.fields["title"] = std::string("keep");
      db.seed(r);
    }
    fetcher->fetch();
    db.deliverAll();
    loop.runUntilIdle();
  }

  CloudRecordRef recordAt(std::size_t i) { return fetcher->todos()->at(i)->record(); }

  fake::FakeRunLoop loop;
  std::shared_ptr<fake::FakeCloudContainer> container;
  fake::FakeCloudDatabase& db;
  std::shared_ptr<TodoFetcher> fetcher;
};

TEST_F(BridgeTest, WritesBatteryAndStateIntoTheFirstMatchAndSavesIt) {
  load({{"nameless", std::nullopt},
        {"other", "my phone"},
        {"first", "My Phone"},
        {"second", "My Phone"}});
  EXPECT_TRUE(
      B::updateRecord({{"name", "My Phone"}, {"Battery", "85"}, {"Charging", "1"}}, *fetcher));
  // Set on the very record the list holds, before the save completes.
  EXPECT_EQ(recordAt(2)->objectForKey("Battery"), CloudFieldValue(std::int64_t{85}));
  EXPECT_EQ(recordAt(2)->objectForKey("state"), CloudFieldValue(CloudBool{true}));
  EXPECT_FALSE(recordAt(1)->objectForKey("Battery"));  // case differs
  EXPECT_FALSE(recordAt(3)->objectForKey("Battery"));  // only the first match

  const auto calls = db.saveCalls();
  ASSERT_EQ(calls.size(), 1u);
  const auto& saved = calls[0].handedOver;
  EXPECT_EQ(saved.recordID.recordName, "first");
  EXPECT_EQ(saved.changedKeys, (std::set<std::string>{"Battery", "state"}));
}

TEST_F(BridgeTest, MissingValuesWriteZeroAndFalse) {
  load({{"r", "Pad"}});
  recordAt(0)->setObjectForKey("state", CloudBool{true});
  EXPECT_TRUE(B::updateRecord({{"name", "Pad"}, {"Battery", "n/a"}}, *fetcher));
  EXPECT_EQ(recordAt(0)->objectForKey("Battery"), CloudFieldValue(std::int64_t{0}));
  EXPECT_EQ(recordAt(0)->objectForKey("state"), CloudFieldValue(CloudBool{false}));
}

TEST_F(BridgeTest, DoesNothingWithoutAMatch) {
  // No list fetched yet.
  EXPECT_FALSE(B::updateRecord({{"name", "Pad"}, {"Battery", "5"}}, *fetcher));
  load({{"r", "Pad"}});
  EXPECT_FALSE(B::updateRecord({{"Battery", "5"}}, *fetcher));                   // no "name"
  EXPECT_FALSE(B::updateRecord({{"name", "pad"}, {"Battery", "5"}}, *fetcher));  // case
  EXPECT_FALSE(B::updateRecord({{"name", ""}, {"Battery", "5"}}, *fetcher));
  EXPECT_TRUE(db.saveCalls().empty());
  EXPECT_FALSE(recordAt(0)->objectForKey("Battery"));
}

// The module's side: one fetch at start-up, and a save only when a run finds
// the device new or changed.
TEST_F(BridgeTest, TheModuleFetchesOnceAndSavesNewAndChangedDevicesOnly) {
  db.seed(CloudRecordData{
      "Todo", CloudRecordID{"R1"}, {{"Name", std::string("My Phone")}}, {}, {}, {}, {}});
  fake::FakeProcessLauncher launcher{loop};
  fake::FakeNotificationCenter center;
  fake::FakeWorkspace workspace;
  fake::FakeBundle bundle;
  fake::FakeApplication application;
  AppDelegate delegate{{loop, launcher, center, workspace, bundle, application, fetcher.get()}};
  launcher.setDefault(fake::ProcessScript{"Bonjour\tabc\nname\tMy Phone\nBattery\t85\n"});
  application.run(delegate);
  db.deliverAll();
  loop.advance(std::chrono::milliseconds(5000));  // new
  db.deliverAll();
  loop.advance(std::chrono::milliseconds(5000));  // unchanged
  EXPECT_EQ(db.saveCalls().size(), 1u);

  launcher.setDefault(fake::ProcessScript{"Bonjour\tabc\nname\tMy Phone\nBattery\t84\n"});
  loop.advance(std::chrono::milliseconds(5000));  // changed
  const auto calls = db.saveCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].handedOver.fields.at("Battery"), CloudFieldValue(std::int64_t{84}));
  EXPECT_EQ(db.queries().size(), 1u);
}

// A value that found no record because the list was not there yet is written
// once a retried fetch brings the record, without waiting for a new value.
TEST_F(BridgeTest, AValueBeforeTheFirstSuccessfulFetchIsWrittenWhenTheListArrives) {
  db.seed(CloudRecordData{
      "Todo", CloudRecordID{"R1"}, {{"Name", std::string("My Phone")}}, {}, {}, {}, {}});
  db.failNextWith(CloudError{CloudErrorCode::NetworkUnavailable, "offline", std::nullopt});
  fake::FakeProcessLauncher launcher{loop};
  fake::FakeNotificationCenter center;
  fake::FakeWorkspace workspace;
  fake::FakeBundle bundle;
  fake::FakeApplication application;
  auto refresher = TodoListRefresher::create(loop, *fetcher, &center);
  AppDelegate::Dependencies deps{loop,   launcher,    center,       workspace,
                                 bundle, application, fetcher.get()};
  deps.todoRefresher = refresher.get();
  AppDelegate delegate{deps};
  launcher.setDefault(fake::ProcessScript{"Bonjour\tabc\nname\tMy Phone\nBattery\t85\n"});
  application.run(delegate);
  db.deliverAll();  // the first fetch fails; the retry comes 5 s later
  loop.runUntilIdle();
  loop.advance(std::chrono::milliseconds(5000));  // the first run, then the retry
  EXPECT_TRUE(db.saveCalls().empty());
  db.deliverAll();
  loop.runUntilIdle();
  const auto calls = db.saveCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].handedOver.fields.at("Battery"), CloudFieldValue(std::int64_t{85}));
  loop.advance(std::chrono::milliseconds(5000));  // unchanged: nothing more
  db.deliverAll();
  EXPECT_EQ(db.saveCalls().size(), 1u);
  EXPECT_EQ(db.queries().size(), 2u);
}

}  // namespace
}  // namespace nuv
