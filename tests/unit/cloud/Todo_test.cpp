#include <gtest/gtest.h>

#include "cloud/MutableTodo.h"
#include "cloud/Todo.h"

namespace nuv {
namespace {

CloudRecordRef makeRecord(const std::string& name = "R1") {
  auto record = std::make_shared<CloudRecord>("Todo", CloudRecordID{name});
  record->setObjectForKey("Name", std::string("My Phone"));
  record->setObjectForKey("title", std::string("charge"));
  return record;
}

TEST(CloudRecord, TracksChangedKeysAndCopiesIndependently) {
  CloudRecord record("Todo");
  EXPECT_FALSE(record.recordID().recordName.empty());
  EXPECT_EQ(record.recordID().zoneName, kCloudDefaultZoneName);
  EXPECT_NE(CloudRecord("Todo").recordID(), record.recordID());

  record.setObjectForKey("Battery", std::int64_t{85});
  record.setObjectForKey("gone", std::nullopt);
  EXPECT_EQ(record.changedKeys(), (std::set<std::string>{"Battery", "gone"}));
  EXPECT_EQ(record.allKeys(), (std::set<std::string>{"Battery"}));
  // (Text compared exactly, letter case included: BridgeTest.)
  EXPECT_FALSE(record.hasStringValue("Battery", "85"));  // a number, not text

  auto copy = record.copy();
  EXPECT_TRUE(copy->isEqual(record));
  EXPECT_EQ(copy->hash(), record.hash());
  copy->setObjectForKey("Battery", std::int64_t{1});
  EXPECT_EQ(record.objectForKey("Battery"), CloudFieldValue(std::int64_t{85}));
  EXPECT_FALSE(copy->isEqual(record));

  EXPECT_EQ(cloudNumberValue(CloudBool{true}), 1);
  EXPECT_EQ(cloudNumberValue(std::int64_t{-3}), -3);
  EXPECT_EQ(cloudNumberValue(std::string("1")), std::nullopt);
  EXPECT_TRUE(cloudBoolValue(std::int64_t{2}));
  EXPECT_FALSE(cloudBoolValue(std::int64_t{0}));
  EXPECT_FALSE(cloudBoolValue(std::string("true")));
}

TEST(Todo, SharesItsRecordWithTheCaller) {
  auto record = makeRecord();
  auto todo = MutableTodo::todoWithRecord(record);
  EXPECT_EQ(todo->record(), record);
  record->setObjectForKey("done", CloudBool{true});
  EXPECT_TRUE(todo->isDone());
  todo->setTitle("new");
  EXPECT_EQ(record->objectForKey("title"), CloudFieldValue(std::string("new")));
  todo->setTitle(std::nullopt);
  EXPECT_FALSE(record->objectForKey("title"));
  // Wrapper-only fields leave the record alone.
  todo->setBattery(99);
  todo->setName("Other");
  EXPECT_FALSE(record->objectForKey("Battery"));
  EXPECT_EQ(record->objectForKey("Name"), CloudFieldValue(std::string("My Phone")));
  EXPECT_EQ(todo->Name(), "Other");
}

}  // namespace
}  // namespace nuv
