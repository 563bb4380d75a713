#include "platform/fake/FakeRunLoop.h"

#include <gtest/gtest.h>

#include <thread>

namespace nuv::fake {
namespace {

using std::chrono::milliseconds;

TEST(FakeRunLoop, TimersFireExactlyAtTheirDueTime) {
  FakeRunLoop loop;
  int fired = 0;
  loop.scheduleTimer(milliseconds(5000), [&] { ++fired; });
  loop.advance(milliseconds(4999));
  EXPECT_EQ(fired, 0);
  EXPECT_EQ(loop.nextTaskDelay(), milliseconds(1));
  loop.advance(milliseconds(1));
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(loop.pendingTaskCount(), 0u);
}

TEST(FakeRunLoop, DueOrderThenPostingOrder) {
  FakeRunLoop loop;
  std::string order;
  loop.postDelayed(milliseconds(10), [&] { order += "c"; });
  loop.post([&] { order += "a"; });
  loop.scheduleTimer(milliseconds(10), [&] { order += "d"; });
  loop.post([&] { order += "b"; });
  loop.advance(milliseconds(10));
  EXPECT_EQ(order, "abcd");
}

TEST(FakeRunLoop, InvalidatedTimersNeverRunAndDroppedOnesStillDo) {
  FakeRunLoop loop;
  int a = 0, b = 0;
  auto t = loop.scheduleTimer(milliseconds(1), [&] { ++a; });
  loop.scheduleTimer(milliseconds(1), [&] { ++b; });  // reference dropped at once
  EXPECT_EQ(loop.pendingTimerCount(), 2u);
  t->invalidate();
  EXPECT_FALSE(t->isValid());
  EXPECT_EQ(loop.pendingTimerCount(), 1u);
  loop.advance(milliseconds(1));
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 1);
}

TEST(FakeRunLoop, NestedRunUntilMovesTimeAndCountsStalls) {
  FakeRunLoop loop;
  bool done = false;
  loop.postDelayed(milliseconds(300), [&] { done = true; });
  loop.runUntil([&] { return done; });
  EXPECT_EQ(loop.elapsed(), milliseconds(300));
  loop.runUntil([] { return false; });
  EXPECT_EQ(loop.stalls(), 1);
}

TEST(FakeRunLoop, PostsFromOtherThreadsLandInTheQueue) {
  FakeRunLoop loop;
  int ran = 0;
  std::thread([&] {
    for (int i = 0; i < 100; ++i) loop.post([&] { ++ran; });
  }).join();
  loop.runUntilIdle();
  EXPECT_EQ(ran, 100);
}

}  // namespace
}  // namespace nuv::fake
