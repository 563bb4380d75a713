#include "platform/linux/runtime/GlibRunLoop.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
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
  std::vector<int> inOrder(kEach);
  std::iota(inOrder.begin(), inOrder.end(), 0);
  EXPECT_EQ(seen, std::vector(kThreads, inOrder));
}

// Timers fire without a reference kept and never once invalidated; a nested
// wait serves timers and posts.
TEST(GlibRunLoop, NestedWaitServesTimersAndPostsButNoInvalidatedTimer) {
  GlibRunLoop loop;
  std::vector<std::string> order;
  int unreferenced = 0, cancelledRuns = 0;
  loop.scheduleTimer(milliseconds(5), [&] { ++unreferenced; });
  auto cancelled = loop.scheduleTimer(milliseconds(5), [&] { ++cancelledRuns; });
  cancelled->invalidate();
  cancelled->invalidate();
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
  EXPECT_EQ(unreferenced, 1);
  EXPECT_EQ(cancelledRuns, 0);
  EXPECT_FALSE(cancelled->isValid());
}

}  // namespace
}  // namespace nuv::linux_backend
