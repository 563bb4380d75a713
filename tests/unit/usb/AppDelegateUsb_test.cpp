// The module's side of the USB watcher: AppDelegate as the watcher's delegate
// on the fake registry and virtual time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "platform/Log.h"
#include "platform/fake/FakeApplication.h"
#include "platform/fake/FakeNotificationCenter.h"
#include "platform/fake/FakeProcess.h"
#include "platform/fake/FakeRunLoop.h"
#include "platform/fake/FakeUsbRegistry.h"
#include "usb/USBPluWatcher.h"

namespace nuv {
namespace {

using std::chrono::milliseconds;

const std::string kDevice = "Bonjour\tabc\nname\tMy Phone\nBattery\t85\nHost Attached\t0\n";

class AppDelegateUsbTest : public ::testing::Test {
 protected:
  AppDelegateUsbTest() {
    log::setSink([](log::Level, std::string_view) {});
    auto registry = std::make_unique<fake::FakeUsbRegistry>();
    registry_ = registry.get();
    watcher_ = std::make_unique<USBPluWatcher>(std::move(registry), loop, false,
                                               [this](std::string_view t) { errors_ += t; });
    launcher.setDefault(fake::ProcessScript{kDevice});
    delegate.setUsbWatcher(watcher_.get());
  }
  ~AppDelegateUsbTest() override { log::setSink(nullptr); }

  std::size_t stacks() const { return center.postedNamed("iOSStack").size(); }
  std::string hostAttached() const {
    const auto posted = center.postedNamed("iOSStack");
    if (posted.empty()) return "<none>";
    const auto& entry = *posted.back().userInfo.at("abc").get<Dictionary>();
    return *entry.at("Host Attached").get<std::string>();
  }
  UsbDevice usb(const std::string& path, const std::string& name) {
    return UsbDevice{path, name, 0x01000002};
  }

  fake::FakeRunLoop loop;
  fake::FakeProcessLauncher launcher{loop};
  fake::FakeNotificationCenter center;
  fake::FakeWorkspace workspace;
  fake::FakeBundle bundle;
  fake::FakeApplication application;
  AppDelegate delegate{{loop, launcher, center, workspace, bundle, application}};
  fake::FakeUsbRegistry* registry_ = nullptr;
  std::unique_ptr<USBPluWatcher> watcher_;
  std::string errors_;
};

TEST_F(AppDelegateUsbTest, RegistersTwoSecondsAfterLaunchAndAttachedIPhoneStartsARun) {
  registry_->attach(usb("/sys/phone", "iPhone"));
  application.run(delegate);
  EXPECT_NE(watcher_->deleg(), nullptr);
  loop.advance(milliseconds(1999));
  EXPECT_FALSE(registry_->armed());
  loop.advance(milliseconds(1));
  EXPECT_TRUE(registry_->armed());
  // The run starts at once, not at the 5 s poll timer.
  EXPECT_EQ(launcher.launchedCount(), 1u);
  EXPECT_EQ(hostAttached(), "0");
  EXPECT_EQ(errors_, "Starting run loop.\n\n");

  // Gone 0.5 s after its match: plugged, "0" becomes "1".
  loop.advance(milliseconds(500));
  registry_->detach("/sys/phone");
  loop.runUntilIdle();
  EXPECT_EQ(stacks(), 2u);
  EXPECT_EQ(hostAttached(), "1");
}

TEST_F(AppDelegateUsbTest, LateAttachRunsAtOnceAndLateRemovalUnplugs) {
  application.run(delegate);
  loop.advance(milliseconds(5000));  // first poll run
  EXPECT_EQ(launcher.launchedCount(), 1u);
  EXPECT_EQ(hostAttached(), "0");

  loop.advance(milliseconds(1000));
  registry_->attach(usb("/sys/pad", "iPad"));
  loop.runUntilIdle();
  EXPECT_EQ(launcher.launchedCount(), 2u);
  // Gone inside its window: plugged.
  loop.advance(milliseconds(200));
  registry_->detach("/sys/pad");
  loop.runUntilIdle();
  EXPECT_EQ(hostAttached(), "1");

  registry_->attach(usb("/sys/phone", "iPhone"));
  loop.advance(milliseconds(5000));
  const auto before = stacks();
  registry_->detach("/sys/phone");
  loop.runUntilIdle();
  EXPECT_EQ(stacks(), before + 1);
  EXPECT_EQ(hostAttached(), "0");
}

}  // namespace
}  // namespace nuv
