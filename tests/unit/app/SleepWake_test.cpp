// Sleep, wake and the relaunch, on fakes and virtual time.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "app/RelaunchCommand.h"
#include "platform/Log.h"
#include "platform/WorkspaceNotifications.h"
#include "platform/fake/FakeApplication.h"
#include "platform/fake/FakeCalendar.h"
#include "platform/fake/FakeDetachedProcessLauncher.h"
#include "platform/fake/FakeNotificationCenter.h"
#include "platform/fake/FakeProcess.h"
#include "platform/fake/FakeRunLoop.h"
#include "platform/fake/FakeUserDefaults.h"

namespace nuv {
namespace {

using fake::ProcessScript;
using std::chrono::hours;
using std::chrono::milliseconds;
using std::chrono::minutes;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string kDevice = "Bonjour\tabc\nname\tMy Phone\nBattery\t85\nHost Attached\t1\n";
const std::string kExpectedCommand = "sleep 3.000000; exec '/opt/NUVModule.app/NUVModule'";

Date utc(int y, unsigned m, unsigned d, int h, int min) {
  using namespace std::chrono;
  const sys_time<microseconds> t =
      sys_days(year_month_day(year(y), month(m), day(d))) + hours(h) + minutes(min);
  return Date{t};
}

// Names parameterised tests after their rows.
constexpr auto byName = [](const auto& info) { return std::string(info.param.name); };

class SleepWakeTest : public ::testing::Test {
 protected:
  SleepWakeTest() {
    log::setSink([this](log::Level, std::string_view line) { logLines.emplace_back(line); });
  }
  ~SleepWakeTest() override { log::setSink(nullptr); }

  AppDelegate::Dependencies deps() {
    AppDelegate::Dependencies d{loop, launcher, center, workspace, bundle, application};
    d.workspaceCenter = &workspaceCenter;
    d.userDefaults = &defaults;
    d.calendar = &calendar;
    d.relauncher = &relauncher;
    return d;
  }
  void launch() { application.run(delegate); }
  void sleep() { workspaceCenter.postNotification({kWorkspaceWillSleepNotification, "", {}}); }
  void wake() { workspaceCenter.postNotification({kWorkspaceDidWakeNotification, "", {}}); }
  // Posts `work` into the loop `at` after the start, so it runs inside a
  // probe run's nested wait when one is in progress then.
  void at(milliseconds when, Closure work) { loop.postDelayed(when, std::move(work)); }

  fake::FakeRunLoop loop;
  fake::FakeProcessLauncher launcher{loop};
  fake::FakeNotificationCenter center;
  fake::FakeNotificationCenter workspaceCenter;
  fake::FakeWorkspace workspace;
  fake::FakeBundle bundle;
  fake::FakeApplication application;
  fake::FakeUserDefaults defaults;
  // New Zealand summer time: the calendar's midnight is 11:00 UTC.
  fake::FakeCalendar calendar{hours(13)};
  fake::FakeDetachedProcessLauncher relauncher;
  AppDelegate delegate{deps()};
  std::vector<std::string> logLines;
};

TEST_F(SleepWakeTest, SleepSavesTheMapWithItsDatesOverAnEarlierSaveAndStopsPolling) {
  defaults.setValueForKey(Dictionary{{"old", Dictionary{{"Bonjour", "old"}}}}, "current");
  launcher.setDefault(ProcessScript{kDevice});
  launch();
  loop.advance(milliseconds(5000));
  ASSERT_TRUE(delegate.deviceStatusMap().at("abc").timestamp);

  sleep();

  ASSERT_EQ(defaults.synchronizeCount, 1);
  const auto* map = defaults.stored.at("current").get<Dictionary>();
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(deviceStatusMapFromDictionary(*map), delegate.deviceStatusMap());
  EXPECT_EQ(loop.pendingTimerCount(), 0u);
  loop.advance(milliseconds(60000));
  EXPECT_EQ(launcher.launchedCount(), 1u);
  EXPECT_TRUE(relauncher.launches.empty());
  EXPECT_EQ(application.terminateCount, 0);
}

TEST_F(SleepWakeTest, ARunInProgressAtSleepStillArmsItsTimerWhichWakeStops) {
  launcher.setDefault(ProcessScript{kDevice, milliseconds(300)});
  launch();
  bool pollTimerDuringRun = true;
  at(milliseconds(5100), [&] {
    sleep();
    pollTimerDuringRun = delegate.coreLoop() != nullptr;
  });
  loop.advance(milliseconds(5000));  // the run: 5000..5300, sleep at 5100
  EXPECT_FALSE(pollTimerDuringRun);
  EXPECT_EQ(launcher.made()[0]->terminateCount(), 0);  // the run is not stopped
  ASSERT_EQ(loop.pendingTimerCount(), 1u);             // its end armed a timer

  wake();

  EXPECT_EQ(loop.pendingTimerCount(), 0u);  // counts valid timers only
  ASSERT_EQ(relauncher.launches.size(), 1u);
  EXPECT_EQ(application.terminateCount, 1);
}

TEST_F(SleepWakeTest, WakeTerminatesTheProbeThenRelaunchesThroughTheShell) {
  launcher.setDefault(ProcessScript{kDevice, milliseconds(10000)});
  launch();
  int terminatesAtRelaunch = -1;
  bool taskClearedAtRelaunch = false;
  at(milliseconds(5100), [&] {
    wake();
    terminatesAtRelaunch = launcher.made()[0]->terminateCount();
    taskClearedAtRelaunch = delegate.currentTask() == nullptr;
  });
  loop.advance(milliseconds(5000));
  EXPECT_EQ(terminatesAtRelaunch, 1);
  EXPECT_TRUE(taskClearedAtRelaunch);
  ASSERT_EQ(relauncher.launches.size(), 1u);
  EXPECT_EQ(relauncher.launches[0].path, "/bin/sh");
  EXPECT_THAT(relauncher.launches[0].arguments, ElementsAre("-c", kExpectedCommand));
  EXPECT_EQ(application.terminateCount, 1);
  EXPECT_EQ(defaults.synchronizeCount, 0);  // a wake without a sleep saves nothing
}

// The wake comes when the module is idle after a USB-started run, or in the
// middle of a run; either way a failed relaunch leaves one poll timer, due
// 5 s after the wake (which ends the run at once).
struct FailedRelaunchCase {
  const char* name;
  milliseconds usbRunAt;  // 0: none
  milliseconds wakeAt;
};

class FailedRelaunchTest : public SleepWakeTest,
                           public ::testing::WithParamInterface<FailedRelaunchCase> {};

TEST_P(FailedRelaunchTest, LeavesThisProcessPollingWithOneTimer) {
  const FailedRelaunchCase& c = GetParam();
  relauncher.failWith = "Resource temporarily unavailable";
  launcher.setDefault(ProcessScript{kDevice, milliseconds(300)});
  launch();
  if (c.usbRunAt > milliseconds(0)) at(c.usbRunAt, [this] { delegate.startMonitoring(); });
  at(c.wakeAt, [this] { wake(); });
  loop.advance(c.wakeAt);
  EXPECT_EQ(application.terminateCount, 0);
  EXPECT_THAT(logLines, Contains(HasSubstr("Resource temporarily unavailable")));
  EXPECT_FALSE(delegate.stillRunning());
  EXPECT_EQ(loop.pendingTimerCount(), 1u);
  const auto runs = launcher.launchedCount();
  loop.advance(milliseconds(4999));
  EXPECT_EQ(launcher.launchedCount(), runs);
  loop.advance(milliseconds(1));
  EXPECT_EQ(launcher.launchedCount(), runs + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Wakes, FailedRelaunchTest,
    ::testing::Values(FailedRelaunchCase{"IdleAfterAUsbStartedRun", milliseconds(1000),
                                         milliseconds(2000)},
                      FailedRelaunchCase{"DuringARun", milliseconds(0), milliseconds(5100)}),
    byName);

// Launch, sleep (saving "current") and wake at the given moments: is
// "current" still stored when the relaunch starts?
struct DayCase {
  const char* name;
  Date launchAt;
  Date wakeAt;
  bool currentStays;
};

class DayRuleTest : public SleepWakeTest, public ::testing::WithParamInterface<DayCase> {};

TEST_P(DayRuleTest, CurrentIsRemovedOnlyWhenTheProcessStartedYesterday) {
  const DayCase& c = GetParam();
  loop.setWallClockOrigin(c.launchAt);
  launcher.setDefault(ProcessScript{kDevice});
  launch();
  loop.advance(milliseconds(5000));
  sleep();
  ASSERT_TRUE(defaults.stored.contains("current"));
  loop.advance(std::chrono::duration_cast<milliseconds>(c.wakeAt.time - loop.clock().now().time));
  wake();
  EXPECT_EQ(defaults.stored.contains("current"), c.currentStays);
  EXPECT_EQ(relauncher.launches.size(), 1u);
}

// Local time is UTC+13: local midnight of 11 March is 10 March 11:00 UTC.
INSTANTIATE_TEST_SUITE_P(
    LocalMidnight, DayRuleTest,
    ::testing::Values(
        DayCase{"SameLocalDay", utc(2026, 3, 10, 0, 30), utc(2026, 3, 10, 10, 59), true},
        DayCase{"NextLocalDayButSameUtcDay", utc(2026, 3, 10, 10, 30), utc(2026, 3, 10, 11, 0),
                false},
        DayCase{"NextUtcDayButSameLocalDay", utc(2026, 3, 9, 11, 30), utc(2026, 3, 10, 10, 0),
                true},
        DayCase{"LastMomentOfTheNextLocalDay", utc(2026, 3, 9, 12, 0), utc(2026, 3, 11, 10, 59),
                false},
        DayCase{"TwoLocalDaysLater", utc(2026, 3, 9, 12, 0), utc(2026, 3, 11, 11, 0), true}),
    byName);

// The plain command is checked by WakeTerminatesTheProbeThenRelaunchesThroughTheShell.
TEST(RelaunchCommand, UnderAUnitItRestartsTheUnitFirstAndQuotesForTheShell) {
  EXPECT_EQ(relaunchCommand(3, "/a/it's", "nuv.service"),
            "sleep 3.000000; systemctl --user --no-block restart 'nuv.service' || "
            "exec '/a/it'\\''s'");
}

}  // namespace
}  // namespace nuv
