#include "app/CloudRecordBridge.h"

#include <gtest/gtest.h>

#include <limits>

#include "CloudFixture.h"
#include "app/AppDelegate.h"
#include "cloud/TodoFetcher.h"
#include "cloud/TodoListRefresher.h"
#include "platform/Numbers.h"
#include "platform/fake/FakeApplication.h"
#include "platform/fake/FakeNotificationCenter.h"
#include "platform/fake/FakeProcess.h"

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
    for (const auto& text : texts) EXPECT_EQ(saturatedInt32(text), expected) << '"' << text << '"';
  }
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

class BridgeTest : public test::CloudFixture {
 protected:
  void load(std::vector<std::pair<std::string, std::optional<std::string>>> records) {
    for (const auto& [recordName, deviceName] : records) {
      auto r = test::todoData(recordName, deviceName.value_or(""));
      if (!deviceName) r.fields.erase("Name");
      db.seed(r);
    }
    fetcher->fetch();
    settle();
  }
  CloudRecordRef recordAt(std::size_t i) { return fetcher->todos()->at(i)->record(); }
  std::int64_t savedBattery(std::size_t call) {
    return std::get<std::int64_t>(db.saveCalls().at(call).handedOver.fields.at("Battery"));
  }
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
  EXPECT_EQ(calls[0].handedOver.recordID.recordName, "first");
  EXPECT_EQ(calls[0].handedOver.changedKeys, (std::set<std::string>{"Battery", "state"}));
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
}

// The module's side, with and without a refresher retrying the first fetch.
class BridgeModuleTest : public BridgeTest {
 protected:
  BridgeModuleTest() { db.seed(test::todoData("R1", "My Phone")); }
  void run(std::int64_t battery, const std::string& name = "My Phone") {
    launcher.setDefault(fake::ProcessScript{"Bonjour\tabc\nname\t" + name + "\nBattery\t" +
                                            std::to_string(battery) + "\n"});
  }
  void launch(TodoListRefresher* refresher = nullptr) {
    AppDelegate::Dependencies deps{loop,   launcher,    center,       workspace,
                                   bundle, application, fetcher.get()};
    deps.todoRefresher = refresher;
    delegate = std::make_unique<AppDelegate>(deps);
    application.run(*delegate);
    settle();
  }

  fake::FakeProcessLauncher launcher{loop};
  fake::FakeNotificationCenter center;
  fake::FakeWorkspace workspace;
  fake::FakeBundle bundle;
  fake::FakeApplication application;
  std::unique_ptr<AppDelegate> delegate;
};

// A value that found no record, because the list was not there yet or the
// record was added since, is written once a fetch brings the record, without
// waiting for a new value: a retried first fetch, or one the run asks for.
// Runs that find the device unchanged save nothing.
TEST_F(BridgeModuleTest, AValueWithoutARecordIsWrittenWhenAFetchBringsTheRecord) {
  db.failNextWith(CloudError{CloudErrorCode::NetworkUnavailable, "offline", std::nullopt});
  auto refresher = TodoListRefresher::create(loop, *fetcher, &center);
  run(85);
  launch(refresher.get());           // the first fetch fails; the retry comes 5 s later
  loop.advance(Milliseconds(5000));  // the first run, then the retry
  EXPECT_TRUE(db.saveCalls().empty());
  settle();
  ASSERT_EQ(db.saveCalls().size(), 1u);
  EXPECT_EQ(savedBattery(0), 85);
  advance(Milliseconds(5000));  // unchanged: nothing more
  EXPECT_EQ(db.saveCalls().size(), 1u);
  EXPECT_EQ(db.queries().size(), 2u);

  run(60, "My Pad");  // renamed: a device the list has no record for
  db.seed(test::todoData("R2", "My Pad"));
  advance(Milliseconds(5000));
  EXPECT_EQ(db.queries().size(), 3u);
  ASSERT_EQ(db.saveCalls().size(), 2u);
  EXPECT_EQ(db.saveCalls()[1].handedOver.recordID.recordName, "R2");
  EXPECT_EQ(savedBattery(1), 60);
}

// A new device is always written; a changed one only when the change touches
// what its record holds.
TEST_F(BridgeModuleTest, ChangesOutsideNameBatteryAndChargingAreNotSavedAgain) {
  db.seed(test::todoData("R2", "My Pad"));
  launch();
  const std::string phone = "Bonjour\tabc\nname\tMy Phone\nBattery\t85\nCharging\t1\n";
  const std::pair<std::string, bool> runs[] = {
      {phone + "BatteryTemperature\t30\n", true},
      {phone + "BatteryTemperature\t31\n", false},
      {phone + "BatteryTemperature\t31\nChargerWatts\t20\n", false},
      {phone, false},
      {"Bonjour\tabc\nname\tMy Phone\nBattery\t86\nCharging\t1\n", true},
      {"Bonjour\tabc\nname\tMy Phone\nBattery\t86\nCharging\t0\n", true},
      {"Bonjour\tabc\nname\tMy Phone\nBattery\t86\n", true},
      {"Bonjour\tabc\nname\tMy Pad\nBattery\t86\n", true}};
  std::size_t saves = 0;
  for (const auto& [output, saved] : runs) {
    delegate->updateUI(parseProbeOutput(output));
    settle();
    EXPECT_EQ(db.saveCalls().size(), saves += saved) << output;
  }
  EXPECT_EQ(db.saveCalls().back().handedOver.recordID.recordName, "R2");
}

}  // namespace
}  // namespace nuv
