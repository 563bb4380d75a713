// The record store's battery writes: one pending write per record, newest
// value wins, retries on the backoff schedule, dropped writes for records
// that are gone. Driven through TodoFetcher on virtual time.

#include "cloud/RecordWriteQueue.h"

#include <gtest/gtest.h>

#include "CloudFixture.h"

namespace nuv {
namespace {

using std::chrono::seconds;

std::int64_t battery(const CloudRecordData& data) {
  return std::get<std::int64_t>(data.fields.at("Battery"));
}

class RecordWriteQueueTest : public test::CloudFixture {
 protected:
  RecordWriteQueueTest() { fetchSeeded({"A", "B"}); }

  // The list's record of that name gets a new battery value and is saved.
  void write(const std::string& recordName, std::int64_t value) {
    for (const auto& todo : *fetcher->todos()) {
      if (todo->record()->recordID().recordName != recordName) continue;
      todo->record()->setObjectForKey("Battery", value);
      fetcher->updateRecord(todo->record());
      return;
    }
    FAIL() << "no record " << recordName;
  }
  std::size_t saves() const { return db.saveCalls().size(); }
};

TEST_F(RecordWriteQueueTest, OneWritePerRecordInFlightAndTheNewestValueWins) {
  write("A", 10);
  write("A", 20);
  write("A", 30);
  write("B", 5);  // another record does not wait for A
  ASSERT_EQ(saves(), 2u);
  EXPECT_EQ(fetcher->writeStatus().pendingCount, 2u);

  settle();
  // 10 went out; 20 was replaced by 30 before it could leave.
  ASSERT_EQ(saves(), 3u);
  EXPECT_EQ(battery(db.saveCalls()[2].handedOver), 30);
  EXPECT_EQ(battery(*db.stored("A")), 30);
  EXPECT_EQ(battery(*db.stored("B")), 5);
  const auto status = fetcher->writeStatus();
  EXPECT_EQ(status.pendingCount, 0u);
  EXPECT_EQ(status.lastRecordName, "A");
  EXPECT_EQ(status.lastDeviceName, "dev-A");
  EXPECT_EQ(status.lastSuccess, loop.now());
}

TEST_F(RecordWriteQueueTest, FailedWritesAreRetriedOnTheBackoffScheduleUntilTheyLand) {
  const CloudError busy{CloudErrorCode::ServiceUnavailable, "database is locked", std::nullopt};
  struct Case {
    const char* what;
    std::vector<CloudError> failures;
    std::vector<Milliseconds> waits;  // from each failed answer to the retry
    Milliseconds tryTakes{0};         // how long the failed try waited for its answer
  };
  const Case cases[] = {
      {"busy database", {busy}, {Milliseconds(5000)}},
      {"5xx twice: the wait doubles", {busy, busy}, {Milliseconds(5000), Milliseconds(10000)}},
      {"throttled: retryAfter honoured",
       {{CloudErrorCode::RequestRateLimited, "THROTTLED: slow", seconds(30)}},
       {Milliseconds(30000)}},
      {"zone busy: the schedule is longer than retryAfter",
       {{CloudErrorCode::ZoneBusy, "ZONE_BUSY", seconds(2)}},
       {Milliseconds(5000)}},
      {"conflict",
       {{CloudErrorCode::ServerRecordChanged, "CONFLICT", std::nullopt}},
       {Milliseconds(5000)}},
      {"network down",
       {{CloudErrorCode::NetworkUnavailable, "no route", std::nullopt}},
       {Milliseconds(5000)}},
      {"a try that took 4 s: the wait counts from its start",
       {busy},
       {Milliseconds(1000)},
       Milliseconds(4000)},
  };
  std::int64_t value = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t before = saves();
    for (const auto& failure : c.failures) db.failNextWith(failure);
    write("A", ++value);
    loop.advance(c.tryTakes);
    settle();
    for (std::size_t i = 0; i < c.waits.size(); ++i) {
      EXPECT_EQ(fetcher->writeStatus().pendingCount, 1u);
      advance(c.waits[i] - Milliseconds(1));
      EXPECT_EQ(saves(), before + 1 + i) << "retried early";
      advance(Milliseconds(1));
      EXPECT_EQ(saves(), before + 2 + i) << "not retried on time";
    }
    EXPECT_EQ(battery(*db.stored("A")), value);
    EXPECT_EQ(fetcher->writeStatus().pendingCount, 0u);
    // Nothing more is sent once it landed.
    advance(Backoff::kMax);
    EXPECT_EQ(saves(), before + 1 + c.waits.size());
  }
}

TEST_F(RecordWriteQueueTest, ANewerValueReplacesTheOneWaitingForItsRetry) {
  db.failNextWith({CloudErrorCode::ServiceUnavailable, "locked", std::nullopt});
  write("A", 1);
  settle();
  write("A", 2);  // waits for the retry; does not jump the backoff
  settle();
  EXPECT_EQ(saves(), 1u);
  advance(Milliseconds(5000));
  ASSERT_EQ(saves(), 2u);
  EXPECT_EQ(battery(db.saveCalls()[1].handedOver), 2);
  EXPECT_EQ(battery(*db.stored("A")), 2);
}

TEST_F(RecordWriteQueueTest, ARecordRemovedMeanwhileIsNoLongerWritten) {
  db.failNextWith({CloudErrorCode::ServiceUnavailable, "locked", std::nullopt});
  write("A", 1);
  settle();
  // Another process deletes A; the next fetch no longer lists it.
  db.deleteRecordWithID(CloudRecordID{"A"}, [](CloudRecordID, std::optional<CloudError>) {});
  fetcher->fetch();
  settle();
  advance(Backoff::kMax);
  EXPECT_EQ(saves(), 1u);
  EXPECT_FALSE(db.stored("A"));
  EXPECT_EQ(fetcher->writeStatus().pendingCount, 0u);
}

TEST_F(RecordWriteQueueTest, ARecordTheBackendNoLongerHasLeavesTheListAndIsNotRetried) {
  db.failNextWith({CloudErrorCode::UnknownItem, "record A was deleted", std::nullopt});
  write("A", 1);
  settle();
  ASSERT_EQ(fetcher->todos()->size(), 1u);
  EXPECT_EQ(fetcher->todos()->at(0)->record()->recordID().recordName, "B");
  advance(Backoff::kMax);
  EXPECT_EQ(saves(), 1u);
  EXPECT_EQ(fetcher->writeStatus().pendingCount, 0u);
}

TEST_F(RecordWriteQueueTest, EachFailureKindIsLoggedOnceAndTheRecoveryOnce) {
  const CloudError busy{CloudErrorCode::ServiceUnavailable, "locked", std::nullopt};
  for (int i = 0; i < 3; ++i) db.failNextWith(busy);
  db.failNextWith({CloudErrorCode::NetworkFailure, "timed out", std::nullopt});
  write("A", 1);
  settle();
  for (int i = 0; i < 5; ++i) {
    advance(Backoff::kMax);
  }
  EXPECT_EQ(battery(*db.stored("A")), 1);
  EXPECT_EQ(logged("locked"), 1);
  EXPECT_EQ(logged("timed out"), 1);
  EXPECT_EQ(logged("works again"), 1);
  EXPECT_EQ(lines.size(), 3u);
}

TEST(BackoffTest, DoublesFromFiveSecondsUpToFiveMinutesAndHonoursRetryAfter) {
  Backoff backoff;
  const std::int64_t expected[] = {5, 10, 20, 40, 80, 160, 300, 300};
  for (std::int64_t s : expected) EXPECT_EQ(backoff.next(), Milliseconds(s * 1000));
  EXPECT_EQ(backoff.next(seconds(900)), Milliseconds(900000));
  backoff.reset();
  EXPECT_EQ(backoff.failures(), 0);
  EXPECT_EQ(backoff.next(seconds(1)), Milliseconds(5000));
  EXPECT_EQ(backoff.next(), Milliseconds(10000));
}

}  // namespace
}  // namespace nuv
