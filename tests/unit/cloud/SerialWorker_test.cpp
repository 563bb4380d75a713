#include "platform/linux/runtime/SerialWorker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

namespace nuv::linux_backend {
namespace {

using namespace std::chrono_literals;

// Order and the worker thread are checked through SqliteCloudDatabase's test.

// A capture whose destruction calls back into the worker, as a completion
// owning a database does.
struct CallsBackWhenDestroyed {
  std::shared_ptr<SerialWorker> worker;
  std::atomic<int>* destroyed;
  ~CallsBackWhenDestroyed() {
    worker->enqueue([] {});  // must not deadlock; ignored once stopped
    ++*destroyed;
  }
};

TEST(SerialWorker, StopInterruptsTheTaskInProgressAndDropsTheQueue) {
  std::promise<void> interrupted;
  auto interruptedFuture = interrupted.get_future().share();
  std::atomic<int> interrupts{0};
  auto worker = SerialWorker::start([&] {
    if (interrupts.fetch_add(1) == 0) interrupted.set_value();
  });
  std::promise<void> started;
  std::atomic<bool> endedEarly{false};
  worker->enqueue([&] {
    started.set_value();
    // Stands for a long request that the interrupt hook cuts short.
    endedEarly = interruptedFuture.wait_for(10s) == std::future_status::ready;
  });
  std::atomic<int> ran{0};
  std::atomic<int> destroyed{0};
  for (int i = 0; i < 5; ++i) {
    auto capture =
        std::shared_ptr<CallsBackWhenDestroyed>(new CallsBackWhenDestroyed{worker, &destroyed});
    worker->enqueue([&ran, capture] { ++ran; });
  }
  ASSERT_EQ(started.get_future().wait_for(10s), std::future_status::ready);

  worker->stop();  // joins: the task in progress has ended when it returns
  EXPECT_TRUE(endedEarly);
  EXPECT_EQ(ran, 0);
  EXPECT_EQ(destroyed, 5);
  worker->enqueue([&ran] { ++ran; });  // ignored
  worker->waitUntilIdle();             // returns at once once stopped
  worker->stop();                      // idempotent
  EXPECT_EQ(ran, 0);
}

TEST(SerialWorker, StoppedFromItsOwnTaskEndsAfterThatTask) {
  auto worker = SerialWorker::start();
  std::promise<void> done;
  std::atomic<bool> laterRan{false};
  std::weak_ptr<SerialWorker> weak = worker;
  worker->enqueue([&done, keep = worker]() mutable {
    keep->stop();  // detaches: cannot join itself
    keep.reset();
    done.set_value();
  });
  worker->enqueue([&laterRan] { laterRan = true; });
  worker.reset();  // the task and the thread hold the last references
  ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
  for (int i = 0; i < 1000 && !weak.expired(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(weak.expired());  // the thread ended and released the worker
  EXPECT_FALSE(laterRan);
}

std::atomic<bool> tornDown{false};

TEST(SerialWorker, ExitStopsEveryWorkerBeforeStaticsAreDestroyed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // Built before the first worker, so destroyed after the exit handler
        // that stops the workers.
        static struct MarksTeardown {
          ~MarksTeardown() {
            tornDown = true;
            std::this_thread::sleep_for(50ms);  // time for a live worker to show
          }
        } marker;
        std::vector<std::shared_ptr<SerialWorker>> workers;
        for (int w = 0; w < 3; ++w) {
          workers.push_back(SerialWorker::start());
          for (int i = 0; i < 1000; ++i) {
            workers.back()->enqueue([] {
              if (tornDown) std::_Exit(3);  // a task ran during teardown
              std::this_thread::sleep_for(1ms);
            });
          }
        }
        std::this_thread::sleep_for(20ms);  // every worker is busy
        std::exit(0);                       // the workers are never stopped by hand
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace nuv::linux_backend
