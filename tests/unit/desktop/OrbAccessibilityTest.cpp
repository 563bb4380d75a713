#include "desktop/OrbAccessibility.h"

#include <gtest/gtest.h>

#include "platform/fake/FakeAccessibilityTrust.h"
#include "platform/fake/FakeNotificationCenter.h"
#include "platform/fake/FakeRunLoop.h"

namespace nuv {
namespace {

using namespace std::chrono_literals;

class OrbAccessibilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    orb = OrbAccessibility::make(trust, loop, local);
    note = local.addObserver(OrbAccessibility::kCacheNotification,
                             [this](const Notification&) { ++posts; });
  }

  fake::FakeRunLoop loop;
  fake::FakeNotificationCenter local;
  fake::FakeAccessibilityTrust trust;
  std::shared_ptr<OrbAccessibility> orb;
  Subscription note;
  std::size_t posts = 0;
};

TEST_F(OrbAccessibilityTest, SetupPostsOnceAndObservesOnlyAnUntrustedProcess) {
  for (bool trusted : {false, true}) {
    SCOPED_TRACE(trusted);
    trust.trusted = trusted;
    OrbAccessibility::setup(*orb);
    EXPECT_EQ(posts, 1u);
    EXPECT_EQ(orb->isEnabled(), trusted);
    EXPECT_EQ(orb->isObserving(), !trusted);
    EXPECT_EQ(trust.observerCount(), trusted ? 0u : 1u);
    EXPECT_EQ(loop.pendingTaskCount(), 0u);
    EXPECT_EQ(trust.trustRequests, 0);  // reading the state never asks for trust
    orb->clear();
    posts = 0;
  }
}

TEST_F(OrbAccessibilityTest, AnnouncementRecachesExactly150msLaterOnTheMainLoop) {
  OrbAccessibility::setup(*orb);
  trust.announce();
  EXPECT_EQ(posts, 1u);  // nothing runs inline
  loop.advance(149ms);
  EXPECT_EQ(posts, 1u);
  loop.advance(1ms);
  EXPECT_EQ(posts, 2u);
  EXPECT_FALSE(orb->isEnabled());
  EXPECT_TRUE(orb->isObserving());

  // Two announcements: two re-reads, each 150 ms after its own announcement.
  trust.announce();
  loop.advance(100ms);
  trust.announce();
  loop.advance(50ms);
  EXPECT_EQ(posts, 3u);
  loop.advance(100ms);
  EXPECT_EQ(posts, 4u);
}

TEST_F(OrbAccessibilityTest, QueuedRecacheKeepsTheInstanceAliveUntilItRuns) {
  OrbAccessibility::setup(*orb);
  trust.announce();
  std::weak_ptr<OrbAccessibility> weak = orb;
  orb.reset();
  EXPECT_FALSE(weak.expired());
  note.reset();  // the observer used `orb`
  int later = 0;
  auto count = local.addObserver(OrbAccessibility::kCacheNotification,
                                 [&](const Notification&) { ++later; });
  loop.advance(150ms);
  EXPECT_EQ(later, 1);
  // The observation still holds no strong reference, so nothing keeps it now.
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(trust.observerCount(), 0u);
}

TEST_F(OrbAccessibilityTest, AnnouncementAfterClearIsIgnoredButQueuedWorkStillRuns) {
  OrbAccessibility::setup(*orb);
  trust.announce();
  orb->clear();
  EXPECT_FALSE(orb->isObserving());
  trust.announce();  // no observer any more
  loop.advance(150ms);
  EXPECT_EQ(posts, 2u);
  orb->clear();  // idempotent
}

// Requesting trust is checked against the desktop by desktop_test; without a
// way to request it, the settings open instead.
TEST_F(OrbAccessibilityTest, OpenPanelOpensTheSettingsWhenTrustCannotBeRequested) {
  trust.requestable = false;
  OrbAccessibility::openPanel(trust);
  EXPECT_EQ(trust.trustRequests, 0);
  EXPECT_EQ(trust.settingsOpened, 1);
}

}  // namespace
}  // namespace nuv
