#include "platform/linux/runtime/GlibRunLoop.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace nuv::linux_backend {
namespace {

using std::chrono::milliseconds;

TEST(GlibRunLoop, PostedWorkRunsOnTheLoopThreadInOrderFromEveryThread) {
  GlibRunLoop loop;
  const auto loopThread = std::this_thread::get_id();
  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::vector<int>> seen(kThreads);
  std::atomic<int> total{0};
  bool offThread = false;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        loop.post([&, t, i] {
          offThread |= std::this_thread::get_id() != loopThread;
          seen[t].push_back(i);
          if (++total == kThreads * kEach) loop.quit();
        });
      }
    });
  }
  loop.run();
  for (auto& th : threads) th.join();
  EXPECT_FALSE(offThread);
  for (const auto& s : seen) {
    ASSERT_EQ(s.size(), static_cast<std::size_t>(kEach));
    for (int i = 0; i < kEach; ++i) EXPECT_EQ(s[i], i);
  }
}

TEST(GlibRunLoop, TimersLiveUntilFiredOrInvalidated) {
  GlibRunLoop loop;
  int dropped = 0, cancelled = 0;
  loop.scheduleTimer(milliseconds(5), [&] { ++dropped; });  // no reference kept
  auto t = loop.scheduleTimer(milliseconds(5), [&] { ++cancelled; });
  t->invalidate();
  t->invalidate();
  bool done = false;
  loop.postDelayed(milliseconds(50), [&] { done = true; });
  loop.runUntil([&] { return done; });
  EXPECT_EQ(dropped, 1);
  EXPECT_EQ(cancelled, 0);
  EXPECT_FALSE(t->isValid());
}

TEST(GlibRunLoop, NestedWaitServesTimersAndPosts) {
  GlibRunLoop loop;
  std::vector<std::string> order;
  bool outerDone = false;
  loop.post([&] {
    order.push_back("outer-start");
    bool innerDone = false;
    loop.scheduleTimer(milliseconds(10), [&] {
      order.push_back("timer");
      innerDone = true;
    });
    loop.post([&] { order.push_back("posted"); });
    loop.runUntil([&] { return innerDone; });
    order.push_back("outer-end");
    outerDone = true;
  });
  loop.runUntil([&] { return outerDone; });
  EXPECT_EQ(order, (std::vector<std::string>{"outer-start", "posted", "timer", "outer-end"}));
}

}  // namespace
}  // namespace nuv::linux_backend
