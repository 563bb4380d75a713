// Keeping the record list current: fetch retries on the backoff schedule,
// the periodic refresh, sign-in, outside changes and devices without a
// record. Virtual time, boundaries exact to the millisecond.

#include "cloud/TodoListRefresher.h"

#include <gtest/gtest.h>

#include "CloudFixture.h"
#include "platform/BusNames.h"
#include "platform/fake/FakeNotificationCenter.h"

namespace nuv {
namespace {

const CloudError kOffline{CloudErrorCode::NetworkUnavailable, "no network", std::nullopt};

class TodoListRefresherTest : public test::CloudFixture {
 protected:
  TodoListRefresherTest() { db.seed(test::todoData("A", "My Phone")); }

  void start() {
    refresher = TodoListRefresher::create(loop, *fetcher, &center);
    refresher->start();
    settle();
  }
  std::size_t fetches() const { return db.queries().size(); }

  fake::FakeNotificationCenter center;
  std::shared_ptr<TodoListRefresher> refresher;
};

TEST_F(TodoListRefresherTest, AFailedFetchIsRetriedWithBackoffUntilOneSucceeds) {
  for (int i = 0; i < 4; ++i) db.failNextWith(kOffline);
  start();
  ASSERT_EQ(fetches(), 1u);
  EXPECT_EQ(fetcher->todos(), nullptr);
  // Retries 5 s, 10 s, 20 s, 40 s after each failure.
  std::size_t expected = 1;
  for (int s : {5, 10, 20, 40}) {
    SCOPED_TRACE(s);
    advance(Milliseconds(s * 1000 - 1));
    EXPECT_EQ(fetches(), expected);
    advance(Milliseconds(1));
    EXPECT_EQ(fetches(), ++expected);
  }
  ASSERT_TRUE(fetcher->todos());
  EXPECT_EQ(fetcher->todos()->size(), 1u);
  // Once it worked: the next fetch is the periodic one, 10 minutes later.
  advance(TodoListRefresher::kRefreshInterval - Milliseconds(1));
  EXPECT_EQ(fetches(), expected);
  advance(Milliseconds(1));
  EXPECT_EQ(fetches(), expected + 1);
  // One warning for the kind of failure, one line for the recovery.
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("no network"), std::string::npos);
  EXPECT_NE(lines[1].find("works again: 1 record(s)"), std::string::npos);
}

TEST_F(TodoListRefresherTest, TheSignInNotificationFetchesAtOnceAndSendsWaitingWrites) {
  const CloudError signedOut{CloudErrorCode::NotAuthenticated, "AUTHENTICATION_REQUIRED",
                             std::nullopt};
  start();
  // Signed out later: a write and the next fetches fail, the waits grow.
  db.failNextWith(signedOut);
  auto record = fetcher->todos()->at(0)->record();
  record->setObjectForKey("Battery", std::int64_t{50});
  fetcher->updateRecord(record);
  settle();
  for (int i = 0; i < 3; ++i) db.failNextWith(signedOut);
  refresher->refreshNow();
  settle();
  advance(Milliseconds(5000));  // the write's and the fetch's retries fail too
  const std::size_t before = fetches();
  ASSERT_EQ(db.saveCalls().size(), 2u);  // the write and its first retry

  center.postNotification(Notification{bus::kCloudSignedInNotification, "", {}});
  settle();
  EXPECT_EQ(fetches(), before + 1);
  EXPECT_EQ(db.saveCalls().size(), 3u);
  EXPECT_EQ(std::get<std::int64_t>(db.stored("A")->fields.at("Battery")), 50);
  // The backoff starts over: the list is fine now, next fetch in 10 minutes;
  // the write's superseded retry sends nothing when it falls due.
  advance(TodoListRefresher::kRefreshInterval - Milliseconds(1));
  EXPECT_EQ(fetches(), before + 1);
  EXPECT_EQ(db.saveCalls().size(), 3u);
}

TEST_F(TodoListRefresherTest, OutsideChangesAreCheckedOnTheBackendsHintsOnly) {
  db.setTracksOutsideChanges(true);
  start();
  ASSERT_TRUE(db.observed());
  EXPECT_EQ(db.outsideChecks(), 1);  // the baseline, before the first fetch
  EXPECT_EQ(fetches(), 1u);
  // Nothing polls: an idle store is never asked again.
  advance(TodoListRefresher::kRefreshInterval - Milliseconds(1));
  EXPECT_EQ(db.outsideChecks(), 1);

  // The store's own write hints too; the check tells it apart.
  db.hintStorageWritten();
  settle();
  EXPECT_EQ(fetches(), 1u);
  EXPECT_EQ(db.outsideChecks(), 2);

  db.seed(test::todoData("B", "Tablet"));
  db.markOutsideChange();
  settle();
  EXPECT_EQ(fetches(), 2u);
  EXPECT_EQ(fetcher->todos()->size(), 2u);

  // A burst of hints while a check is under way makes one more check, not one each.
  const int before = db.outsideChecks();
  for (int i = 0; i < 50; ++i) db.hintStorageWritten();
  loop.runUntilIdle();  // the hints reach the refresher; the first check is asked
  settle();
  EXPECT_EQ(db.outsideChecks(), before + 2);

  // A backend that cannot tell is never asked nor observed.
  refresher.reset();
  EXPECT_FALSE(db.observed());
  db.setTracksOutsideChanges(false);
  start();
  const int checks = db.outsideChecks();
  advance(Milliseconds(60000));
  EXPECT_EQ(db.outsideChecks(), checks);
  EXPECT_FALSE(db.observed());
}

TEST_F(TodoListRefresherTest, ADeviceWithoutARecordFetchesAtMostOnceAMinute) {
  start();
  ASSERT_EQ(fetches(), 1u);
  refresher->deviceWithoutRecord();
  settle();
  EXPECT_EQ(fetches(), 2u);
  advance(Milliseconds(59999));
  refresher->deviceWithoutRecord();
  settle();
  EXPECT_EQ(fetches(), 2u);
  advance(Milliseconds(1));
  refresher->deviceWithoutRecord();
  settle();
  EXPECT_EQ(fetches(), 3u);

  // While fetches fail and are retried anyway, it adds none.
  for (int i = 0; i < 10; ++i) db.failNextWith(kOffline);
  refresher->refreshNow();
  settle();
  advance(TodoListRefresher::kDeviceWithoutRecordInterval);
  const std::size_t before = fetches();
  refresher->deviceWithoutRecord();
  settle();
  EXPECT_EQ(fetches(), before);
}

TEST_F(TodoListRefresherTest, AReasonToFetchDuringAFetchFetchesOnceMoreAfterIt) {
  start();
  refresher->refreshNow();
  refresher->refreshNow();  // while the first is in flight
  refresher->refreshNow();
  settle();
  EXPECT_EQ(fetches(), 3u);  // start-up, the first call, one more for the other two
}

}  // namespace
}  // namespace nuv
