#include "platform/LocalNotificationCenter.h"

#include <gtest/gtest.h>

namespace nuv {
namespace {

TEST(LocalNotificationCenter, DeliversByNameInOrderAndStopsWhenUnsubscribed) {
  LocalNotificationCenter center;
  std::vector<std::string> got;
  auto a = center.addObserver("n", [&](const Notification& n) { got.push_back("a:" + n.object); });
  Subscription b = center.addObserver("n", [&](const Notification&) { got.push_back("b"); });
  auto other = center.addObserver("m", [&](const Notification&) { got.push_back("m"); });
  center.postNotification({"n", "1", {}});
  b.reset();
  center.postNotification({"n", "2", {}});
  EXPECT_EQ(got, (std::vector<std::string>{"a:1", "b", "a:2"}));
}

TEST(LocalNotificationCenter, AnObserverRemovedDuringDeliveryIsNotCalled) {
  LocalNotificationCenter center;
  int second = 0;
  Subscription s2;
  auto s1 = center.addObserver("n", [&](const Notification&) { s2.reset(); });
  s2 = center.addObserver("n", [&](const Notification&) { ++second; });
  center.postNotification({"n", "", {}});
  EXPECT_EQ(second, 0);
}

TEST(LocalNotificationCenter, SubscriptionMayOutliveTheCenter) {
  Subscription s;
  {
    LocalNotificationCenter center;
    s = center.addObserver("n", [](const Notification&) {});
  }
  s.reset();  // must not touch the destroyed centre
}

}  // namespace
}  // namespace nuv
