// The module's use of the record store: one fetch at start-up, and the
// battery data of a new or changed device saved into its record.

#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "cloud/TodoFetcher.h"
#include "platform/fake/FakeApplication.h"
#include "platform/fake/FakeCloudDatabase.h"
#include "platform/fake/FakeNotificationCenter.h"
#include "platform/fake/FakeProcess.h"
#include "platform/fake/FakeRunLoop.h"

namespace nuv {
namespace {

using std::chrono::milliseconds;

const std::string kDevice = "Bonjour\tabc\nname\tMy Phone\nBattery\t85\nCharging\t1\n";

class AppDelegateRecordsTest : public ::testing::Test {
 protected:
  AppDelegateRecordsTest() {
    CloudRecordData r;
    r.recordType = "Todo";
    r.recordID = CloudRecordID{"R1"};
    r.fields = {{"Name", std::string("My Phone")}, {"title", std::string("keep")}};
    db.seed(r);
  }
  ~AppDelegateRecordsTest() override {
    db.deliverAll();
    loop.runUntilIdle();
  }

  fake::FakeRunLoop loop;
  std::shared_ptr<fake::FakeCloudContainer> container =
      std::make_shared<fake::FakeCloudContainer>(TodoFetcher::kContainerIdentifier);
  fake::FakeCloudDatabase& db = *container->fakeDatabase();
  std::shared_ptr<TodoFetcher> fetcher = TodoFetcher::create(loop, container);
  fake::FakeProcessLauncher launcher{loop};
  fake::FakeNotificationCenter center;
  fake::FakeWorkspace workspace;
  fake::FakeBundle bundle;
  fake::FakeApplication application;
  AppDelegate delegate{{loop, launcher, center, workspace, bundle, application, fetcher.get()}};
};

TEST_F(AppDelegateRecordsTest, FetchesOnceAndSavesBatteryDataOfNewAndChangedDevices) {
  launcher.setDefault(fake::ProcessScript{kDevice});
  application.run(delegate);
  EXPECT_EQ(db.queries().size(), 1u);
  db.deliverAll();
  loop.advance(milliseconds(5000));  // first run: a new device
  auto calls = db.saveCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].handedOver.changedKeys, (std::set<std::string>{"Battery", "state"}));
  EXPECT_EQ(calls[0].handedOver.fields.at("Battery"), CloudFieldValue(std::int64_t{85}));
  EXPECT_EQ(calls[0].handedOver.fields.at("state"), CloudFieldValue(CloudBool{true}));
  db.deliverAll();

  loop.advance(milliseconds(5000));  // unchanged: nothing saved
  EXPECT_EQ(db.saveCalls().size(), 1u);

  launcher.setDefault(fake::ProcessScript{"Bonjour\tabc\nname\tMy Phone\nBattery\t84\n"});
  loop.advance(milliseconds(5000));
  calls = db.saveCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].handedOver.fields.at("state"), CloudFieldValue(CloudBool{false}));
  db.deliverAll();
  loop.runUntilIdle();
  EXPECT_EQ(db.stored("R1")->fields.at("Battery"), CloudFieldValue(std::int64_t{84}));
  EXPECT_EQ(db.stored("R1")->fields.at("title"), CloudFieldValue(std::string("keep")));
  EXPECT_EQ(db.queries().size(), 1u);  // never fetched again
}

}  // namespace
}  // namespace nuv
