#include "platform/LocalNotificationCenter.h"

#include <gtest/gtest.h>

namespace nuv {
namespace {

// Observers removed before a post, or during its delivery, are not called;
// a subscription that outlives its centre ends without touching it.
TEST(LocalNotificationCenter, DeliversByNameInOrderUntilUnsubscribed) {
  std::vector<std::string> got;
  Subscription b, c, outliving;
  {
    LocalNotificationCenter center;
    auto a = center.addObserver("n", [&](const Notification& n) {
      got.push_back("a:" + n.object);
      if (n.object == "2") c.reset();
    });
    b = center.addObserver("n", [&](const Notification&) { got.push_back("b"); });
    c = center.addObserver("n", [&](const Notification&) { got.push_back("c"); });
    outliving = center.addObserver("m", [&](const Notification&) { got.push_back("m"); });
    center.postNotification({"n", "1", {}});
    b.reset();
    center.postNotification({"n", "2", {}});
  }
  EXPECT_EQ(got, (std::vector<std::string>{"a:1", "b", "c", "a:2"}));
  outliving.reset();
}

}  // namespace
}  // namespace nuv
