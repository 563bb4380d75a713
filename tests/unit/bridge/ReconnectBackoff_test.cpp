#include "ReconnectBackoff.h"

#include <gtest/gtest.h>

#include "platform/fake/FakeRunLoop.h"

namespace nuvbridge {
namespace {

using std::chrono::milliseconds;

TEST(ReconnectBackoff, DoublesToAMinuteRefusalsWaitLongestSuccessStartsAgain) {
  nuv::fake::FakeRunLoop loop;
  int attempts = 0;
  ReconnectBackoff backoff(loop, [&] { ++attempts; });
  // Each failure after the attempt it follows: the delay before the next one.
  for (long expected : {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}) {
    backoff.failed();
    loop.advance(milliseconds(expected - 1));
    EXPECT_EQ(attempts, 0) << expected;
    loop.advance(milliseconds(1));
    EXPECT_EQ(attempts, 1) << expected;
    attempts = 0;
  }
  backoff.succeeded();
  backoff.failed();
  EXPECT_EQ(loop.nextTaskDelay(), milliseconds(1000));
  backoff.failed(true);  // replaces the pending attempt
  EXPECT_EQ(loop.pendingTimerCount(), 1u);
  EXPECT_EQ(loop.nextTaskDelay(), milliseconds(60000));
  backoff.cancel();
  loop.advance(milliseconds(120000));
  EXPECT_EQ(attempts, 0);
}

}  // namespace
}  // namespace nuvbridge
