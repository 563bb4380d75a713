#include "desktop/AccessibilityWrapper.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/DesktopServices.h"
#include "platform/Workspace.h"
#include "platform/fake/FakeAccessibilityService.h"
#include "platform/fake/FakeApplication.h"

namespace nuv {
namespace {

using fake::FakeAccessibilityService;
using fake::FakeElement;
using W = AccessibilityWrapper;

fake::FakeRunningApplication App(int pid) { return {pid, std::nullopt, nullptr}; }

class AccessibilityWrapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    desktopServices().accessibility = &ax;
    W::forgetSystemWideElement();
  }
  void TearDown() override {
    desktopServices().accessibility = nullptr;
    W::forgetSystemWideElement();
  }

  FakeAccessibilityService ax;
};

TEST_F(AccessibilityWrapperTest, InitWithoutFocusedWindowIsNotInited) {
  auto app = ax.addApplication(42);  // no focused window
  ax.systemWide->attributes[AXAttribute::FocusedApplication] = ElementRef(app);
  W wrapper;
  EXPECT_FALSE(wrapper.inited());
  EXPECT_FALSE(wrapper.moveWindow({1, 1}));
  EXPECT_FALSE(wrapper.focus());

  // Unreadable or wrongly typed values give neutral results.
  auto w = FakeAccessibilityService::window("w", 1);
  w->attributes[AXAttribute::Size] = Point{3, 4};
  EXPECT_EQ(W::getTopLeftForWindow(w), (Point{0, 0}));
  EXPECT_EQ(W::getSizeForWindow(w), (Size{0, 0}));
  EXPECT_FALSE(W::isMainWindow(w));
  auto anonymous = std::make_shared<FakeElement>();
  EXPECT_FALSE(W::getRole(anonymous));
  EXPECT_FALSE(W::isWindow(anonymous));
  EXPECT_EQ(W::getTitle(anonymous), "");
  EXPECT_EQ(W::processIdentifierOfUIElement(anonymous), 0);  // stale: no pid
}

TEST_F(AccessibilityWrapperTest, MovableAndResizableProbeByWriting) {
  auto w = FakeAccessibilityService::window("w", 1);
  w->settable = {AXAttribute::Position};
  W wrapper(nullptr, w);
  // The position cannot be read: the probe moves the window to (0, 0).
  EXPECT_TRUE(wrapper.isMovable());
  ASSERT_EQ(w->writes.size(), 1u);
  EXPECT_EQ(std::get<Point>(w->writes[0].second), (Point{0, 0}));

  w->attributes[AXAttribute::Size] = Size{50, 60};
  EXPECT_FALSE(wrapper.isResizable());  // size not settable
  EXPECT_EQ(std::get<Size>(w->writes.back().second), (Size{50, 60}));
  w->settable.insert(AXAttribute::Size);
  EXPECT_TRUE(wrapper.isResizable());
}

TEST_F(AccessibilityWrapperTest, WindowListsAreCappedAt100) {
  auto a = ax.addApplication(7);
  ElementArray many;
  for (int i = 0; i < 150; ++i) many.push_back(FakeAccessibilityService::window("w", 7));
  a->attributes[AXAttribute::Windows] = many;
  auto windows = W::windowsInApp(a);
  ASSERT_TRUE(windows);
  EXPECT_EQ(*windows, ElementArray(many.begin(), many.begin() + 100));
  EXPECT_EQ(ax.sliceRequests.back(), (std::pair<std::size_t, std::size_t>{0, 100}));
  EXPECT_EQ(W::windowsInRunningApp(App(7)).value().size(), 100u);
  EXPECT_FALSE(W::windowsInRunningApp(App(8)));  // no such application
  EXPECT_FALSE(W::windowsInApp(nullptr));
}

// A labelled element's containing window is checked on real windows by
// desktop_test.
TEST_F(AccessibilityWrapperTest, WindowUnderPoint) {
  auto window = FakeAccessibilityService::window("Doc", 3);
  auto orphan = std::make_shared<FakeElement>();
  orphan->attributes[AXAttribute::Role] = std::string("label");
  auto roleless = std::make_shared<FakeElement>();
  roleless->attributes[AXAttribute::Window] = ElementRef(window);

  ElementRef next;
  ax.hitTest = [&](float, float) { return next; };
  next = window;
  EXPECT_EQ(W::windowUnderPoint({1, 2}), window);  // a window is returned itself
  next = roleless;
  EXPECT_EQ(W::windowUnderPoint({1, 2}), window);
  next = orphan;
  EXPECT_EQ(W::windowUnderPoint({1, 2}), nullptr);
  next = nullptr;
  EXPECT_EQ(W::windowUnderPoint({1, 2}), nullptr);
  ax.hitStatus = AXStatus::CannotComplete;
  next = window;
  EXPECT_EQ(W::windowUnderPoint({1, 2}), nullptr);
}

TEST_F(AccessibilityWrapperTest, MinimizedOrHiddenReadsBothAttributes) {
  auto a = ax.addApplication(5);
  auto w = FakeAccessibilityService::window("w", 5);
  EXPECT_FALSE(W::isWindowMinimizedOrHiddenInApp(w, a));  // neither readable

  w->attributes[AXAttribute::Minimized] = true;
  a->attributes[AXAttribute::Hidden] = false;
  EXPECT_TRUE(W::isWindowMinimizedOrHiddenInApp(w, a));

  w->attributes[AXAttribute::Minimized] = false;
  a->attributes[AXAttribute::Hidden] = true;
  w->reads.clear();
  EXPECT_TRUE(W::isWindowMinimizedOrHiddenInApp(w, a));
  EXPECT_EQ(w->reads, (std::vector<AXAttribute>{AXAttribute::Minimized}));  // read all the same

  W wrapper(a, w);
  EXPECT_TRUE(wrapper.isMinimizedOrHidden());
  a->attributes[AXAttribute::Hidden] = std::string("yes");  // not a boolean
  EXPECT_FALSE(wrapper.isMinimizedOrHidden());
}

TEST_F(AccessibilityWrapperTest, FocusOperations) {
  auto app = ax.addApplication(42);
  auto win = FakeAccessibilityService::window("Editor", 42);
  win->settable = {AXAttribute::Main};
  app->attributes[AXAttribute::FocusedWindow] = ElementRef(win);
  app->settable = {AXAttribute::Frontmost};

  EXPECT_FALSE(W::focusApp(App(43)));  // unknown application
  // Success with a focused window is checked on a real window by desktop_test.
  EXPECT_TRUE(W::focusMainWindow(App(42)));
  win->settable.erase(AXAttribute::Main);
  EXPECT_FALSE(W::focusMainWindow(App(42)));
  EXPECT_EQ(ax.broughtForward.size(), 2u);  // brought forward all the same

  // No focused window: exactly focusApp, and nothing is brought forward.
  app->attributes.erase(AXAttribute::FocusedWindow);
  ax.broughtForward.clear();
  EXPECT_TRUE(W::focusMainWindow(App(42)));
  ASSERT_EQ(app->writes.size(), 1u);
  EXPECT_EQ(app->writes[0].first, AXAttribute::Frontmost);
  EXPECT_TRUE(ax.broughtForward.empty());
  EXPECT_FALSE(W::focusedWindowInRunningApp(App(42)));

  // focusWindow's result is the main-attribute write alone.
  auto other = FakeAccessibilityService::window("other", 77);
  EXPECT_FALSE(W::focusWindow(other));
  EXPECT_EQ(ax.broughtForward, (std::vector<int>{77}));
  other->settable = {AXAttribute::Main};
  W wrapper(app, other);
  EXPECT_TRUE(wrapper.focus());
}

TEST_F(AccessibilityWrapperTest, SystemWideElementIsCreatedOnceAcrossThreads) {
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([] {
      for (int k = 0; k < 50; ++k) W::createSystemWideElement();
    });
  }
  for (auto& t : threads) t.join();
  W::processIdentifierOfUIElement(nullptr);
  W::windowUnderPoint({0, 0});
  EXPECT_EQ(ax.systemWideCreations, 1);
}

}  // namespace
}  // namespace nuv
