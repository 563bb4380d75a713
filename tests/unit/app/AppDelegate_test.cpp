#include "app/AppDelegate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/Log.h"
#include "platform/fake/FakeApplication.h"
#include "platform/fake/FakeHostService.h"
#include "platform/fake/FakeNotificationCenter.h"
#include "platform/fake/FakeProcess.h"
#include "platform/fake/FakeRunLoop.h"

namespace nuv {
namespace {

using fake::ProcessScript;
using std::chrono::milliseconds;
using ::testing::_;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;

const std::string kDevice = "Bonjour\tabc\nname\tMy Phone\nBattery\t85\nHost Attached\t0\n";

class AppDelegateTest : public ::testing::Test {
 protected:
  AppDelegateTest() {
    log::setSink(
        [this](log::Level level, std::string_view line) { logLines.emplace_back(level, line); });
  }
  ~AppDelegateTest() override { log::setSink(nullptr); }

  void launch() { application.run(delegate); }
  std::size_t stacks() const { return center.postedNamed("iOSStack").size(); }
  Dictionary lastStack() const { return center.postedNamed("iOSStack").back().userInfo; }
  const DeviceEntry& entry(const std::string& b) { return delegate.deviceStatusMap().at(b); }

  fake::FakeRunLoop loop;
  fake::FakeProcessLauncher launcher{loop};
  fake::FakeNotificationCenter center;
  fake::FakeWorkspace workspace;
  fake::FakeBundle bundle;
  fake::FakeApplication application;
  fake::FakeHostService host;
  AppDelegate delegate{[this] {
    AppDelegate::Dependencies deps{loop, launcher, center, workspace, bundle, application};
    deps.hostService = &host;
    return deps;
  }()};
  std::vector<std::pair<log::Level, std::string>> logLines;
};

// A probe run waits in a nested loop, so the virtual clock moves on inside
// advance() until the run is over; what happens during a run is observed by
// work posted into that nested loop.
TEST_F(AppDelegateTest, RunsStartFiveSecondsAfterLaunchAndAfterTheEndOfTheLastWithOneTimer) {
  launcher.setDefault(ProcessScript{kDevice, milliseconds(300)});
  launch();
  EXPECT_EQ(loop.pendingTimerCount(), 1u);
  loop.advance(milliseconds(4999));
  EXPECT_EQ(launcher.launchedCount(), 0u);
  bool runningMidway = false;
  loop.postDelayed(milliseconds(100), [&] { runningMidway = delegate.stillRunning(); });
  loop.advance(milliseconds(1));  // run 1: 5000..5300
  ASSERT_EQ(launcher.launchedCount(), 1u);
  EXPECT_EQ(launcher.made()[0]->path(), "/opt/NUVModule.app/Resources/devInfo.NUVModule");
  EXPECT_THAT(launcher.made()[0]->arguments(), ElementsAre("-f"));
  // Every run writes it, so it is a debug line: a steady state logs nothing.
  EXPECT_THAT(logLines,
              ElementsAre(Pair(log::Level::Debug, "--------------------- tick -----------------")));
  EXPECT_EQ(stacks(), 1u);
  EXPECT_TRUE(runningMidway);
  EXPECT_EQ(loop.elapsed(), milliseconds(5300));
  EXPECT_FALSE(delegate.stillRunning());
  EXPECT_EQ(loop.pendingTimerCount(), 1u);
  EXPECT_EQ(loop.nextTaskDelay(), milliseconds(5000));
}

// However many runs USB matches start, the loop is back to one pending poll
// timer and one run 5 s after the end of the last.
class UsbStartedRunsTest : public AppDelegateTest, public ::testing::WithParamInterface<int> {};

TEST_P(UsbStartedRunsTest, LeaveOnePollTimerAndTheFiveSecondPause) {
  const int n = GetParam();
  launcher.setDefault(ProcessScript{kDevice, milliseconds(100)});
  launch();
  // One request every 150 ms from 1000 on, each a run of its own; the first
  // poll timer (due at 5000) is pending when they begin.
  for (int i = 0; i < n; ++i) {
    loop.postDelayed(milliseconds(1000 + 150 * i), [this] { delegate.startMonitoring(); });
  }
  const auto lastEnd = milliseconds(1000 + 150 * (n - 1) + 100);
  loop.advance(lastEnd);
  ASSERT_EQ(launcher.launchedCount(), static_cast<std::size_t>(n));
  EXPECT_EQ(loop.pendingTimerCount(), 1u);
  EXPECT_EQ(loop.nextTaskDelay(), milliseconds(5000));
  loop.advance(milliseconds(4999));
  EXPECT_EQ(launcher.launchedCount(), static_cast<std::size_t>(n));
  loop.advance(milliseconds(1));
  EXPECT_EQ(launcher.launchedCount(), static_cast<std::size_t>(n + 1));
  // A minute later: one run per 5.1 s (5 s pause, 100 ms run), no more.
  loop.advance(milliseconds(60000));
  EXPECT_EQ(launcher.launchedCount(), static_cast<std::size_t>(n + 1 + 11));
  EXPECT_EQ(loop.pendingTimerCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Counts, UsbStartedRunsTest, ::testing::Values(1, 2, 50));

// The probe exits at 300 ms; a process it started holds its output open for
// a minute and ignores SIGTERM.
TEST_F(AppDelegateTest, AProcessHoldingTheOutputDelaysTheRunByTheGraceOnlyAndIsStopped) {
  launcher.setDefault(ProcessScript{.output = kDevice,
                                    .runTime = milliseconds(300),
                                    .ignoresTerminate = true,
                                    .leftoverLifetime = milliseconds(60000)});
  launch();
  bool runningAtGraceEnd = false;
  loop.postDelayed(milliseconds(5399), [&] { runningAtGraceEnd = delegate.stillRunning(); });
  loop.advance(milliseconds(5000));
  EXPECT_TRUE(runningAtGraceEnd);
  EXPECT_EQ(loop.elapsed(), milliseconds(5400));  // exit + 100 ms
  EXPECT_EQ(stacks(), 1u);                        // with the output printed before the exit
  const auto& first = *launcher.made()[0];
  EXPECT_EQ(first.terminateCount(), 1);  // at the end of its run
  EXPECT_TRUE(first.isGroupRunning());

  loop.advance(milliseconds(5000));  // the next run begins by killing what is left
  EXPECT_EQ(first.killCount(), 1);
  EXPECT_FALSE(first.isGroupRunning());
  EXPECT_EQ(launcher.launchedCount(), 2u);
  EXPECT_THAT(logLines, Contains(Pair(log::Level::Warning, HasSubstr("left processes"))).Times(1));
}

// A probe that never exits is stopped 30 s after its start (SIGTERM, and
// SIGKILL 2 s later if it ignores that); the run reports nothing, and the
// next one comes 5 s after.
class HungProbeTest : public AppDelegateTest, public ::testing::WithParamInterface<bool> {};

TEST_P(HungProbeTest, IsStoppedAtThirtySecondsAndItsOutputDropped) {
  const bool ignoresTerminate = GetParam();
  launcher.setDefault(ProcessScript{
      .output = kDevice, .runTime = milliseconds(600000), .ignoresTerminate = ignoresTerminate});
  launch();
  int terminatesBeforeDeadline = -1;
  loop.postDelayed(milliseconds(34999),
                   [&] { terminatesBeforeDeadline = launcher.made()[0]->terminateCount(); });
  loop.advance(milliseconds(5000));  // the run: 5000 until it is stopped
  const auto end = milliseconds(35000) + (ignoresTerminate ? milliseconds(2000) : milliseconds(0));
  EXPECT_EQ(terminatesBeforeDeadline, 0);
  EXPECT_EQ(loop.elapsed(), end);
  const auto& probe = *launcher.made()[0];
  EXPECT_EQ(probe.terminateCount(), 1);
  EXPECT_EQ(probe.killCount(), ignoresTerminate ? 1 : 0);
  EXPECT_FALSE(probe.isGroupRunning());
  EXPECT_EQ(stacks(), 0u);
  EXPECT_TRUE(delegate.deviceStatusMap().empty());
  EXPECT_THAT(logLines, Contains(Pair(log::Level::Warning, _)).Times(1));
  EXPECT_EQ(loop.pendingTimerCount(), 1u);
  EXPECT_EQ(loop.nextTaskDelay(), milliseconds(5000));
}

INSTANTIATE_TEST_SUITE_P(Signals, HungProbeTest, ::testing::Bool());

// Hosts see the map a read would give at the moment of every broadcast, and
// at no other moment. A host that reads on hearing a broadcast gets its map:
// the service holds it before the broadcast leaves, and announces it after.
TEST_F(AppDelegateTest, MergeAndChangeDetectionWithEachBroadcastAnnouncedToHosts) {
  EXPECT_FALSE(host.published());
  launch();
  ASSERT_TRUE(host.published());
  EXPECT_TRUE(host.read().empty());
  int heard = 0;
  Subscription hearing = center.addObserver("iOSStack", [&](const Notification& note) {
    EXPECT_EQ(host.read(), note.userInfo);
    EXPECT_EQ(host.changes.size(), static_cast<std::size_t>(heard++));
  });

  // New device: stored with a timestamp and posted.
  delegate.updateUI(parseProbeOutput(kDevice));
  ASSERT_EQ(stacks(), 1u);
  EXPECT_TRUE(entry("abc").timestamp);
  const auto first = lastStack();
  const auto* posted = first.at("abc").get<Dictionary>();
  ASSERT_TRUE(posted);
  EXPECT_EQ(*posted->at("name").get<std::string>(), "My Phone");
  EXPECT_TRUE(posted->at("timestamp").is<Date>());

  // Same again plus a probe-printed "timestamp": unchanged, the stored entry
  // loses its timestamp, and a host's read shows that at once.
  loop.advance(milliseconds(1));
  delegate.updateUI(parseProbeOutput(kDevice + "timestamp\tyesterday\n"));
  EXPECT_EQ(stacks(), 1u);
  EXPECT_FALSE(entry("abc").timestamp);
  EXPECT_FALSE(entry("abc").pairs.count("timestamp"));
  EXPECT_FALSE(host.read().at("abc").get<Dictionary>()->count("timestamp"));

  // One value changed, a key missing, a key added, a case change (exact comparison).
  std::size_t expected = 1;
  for (const char* rest :
       {"name\tMy Phone\nBattery\t86\nHost Attached\t0\n", "name\tMy Phone\nBattery\t86\n",
        "name\tMy Phone\nBattery\t86\nX\t\n", "name\tmy phone\nBattery\t86\nX\t\n"}) {
    delegate.updateUI(parseProbeOutput(std::string("Bonjour\tabc\n") + rest));
    EXPECT_EQ(stacks(), ++expected) << rest;
    EXPECT_EQ(entry("abc").timestamp, loop.now());
  }

  // No "Bonjour" or no result at all: nothing stored, nothing posted.
  delegate.updateUI(parseProbeOutput("name\tOther\n"));
  delegate.updateUI(std::nullopt);
  EXPECT_EQ(stacks(), 5u);
  EXPECT_EQ(delegate.deviceStatusMap().size(), 1u);
  std::vector<Dictionary> broadcasts;
  for (const auto& note : center.postedNamed("iOSStack")) broadcasts.push_back(note.userInfo);
  EXPECT_EQ(host.changes, broadcasts);
}

TEST_F(AppDelegateTest, EveryPathOfUpdateUIReplacesThePollTimer) {
  launch();
  for (auto d :
       {std::optional<ProbeOutput>(), std::optional(parseProbeOutput("x\ty\n")),
        std::optional(parseProbeOutput(kDevice)), std::optional(parseProbeOutput(kDevice))}) {
    const TimerRef before = delegate.coreLoop();
    delegate.updateUI(d);
    EXPECT_NE(delegate.coreLoop(), before);
    EXPECT_FALSE(before->isValid());
    EXPECT_EQ(loop.pendingTimerCount(), 1u);
  }
}

TEST_F(AppDelegateTest, PluggedAndUnpluggedFlipEveryEntryAndAlwaysPost) {
  launch();
  delegate.DevicePlugged();
  ASSERT_EQ(stacks(), 1u);
  EXPECT_TRUE(lastStack().empty());

  // The second "a" is unchanged: it loses its timestamp.
  for (const char* e : {"a\nHost Attached\t0", "b\nHost Attached\t0", "c\nHost Attached\tyes", "d",
                        "a\nHost Attached\t0"}) {
    delegate.updateUI(parseProbeOutput(std::string("Bonjour\t") + e + "\n"));
  }
  const auto before = stacks();
  const TimerRef armed = delegate.coreLoop();
  delegate.DevicePlugged();
  EXPECT_EQ(stacks(), before + 1);
  EXPECT_EQ(entry("a").pairs.at("Host Attached"), "1");
  EXPECT_EQ(entry("b").pairs.at("Host Attached"), "1");
  EXPECT_EQ(entry("c").pairs.at("Host Attached"), "yes");
  EXPECT_FALSE(entry("d").pairs.count("Host Attached"));
  EXPECT_FALSE(entry("a").timestamp);  // handlers never touch timestamps
  EXPECT_TRUE(entry("b").timestamp);
  EXPECT_EQ(delegate.coreLoop(), armed);  // the handlers arm no timer

  // The probe still says "0": that is a change now.
  delegate.updateUI(parseProbeOutput("Bonjour\ta\nHost Attached\t0\n"));
  EXPECT_EQ(stacks(), before + 2);
  EXPECT_EQ(entry("a").pairs.at("Host Attached"), "0");

  delegate.DeviceUnplugged();
  EXPECT_EQ(entry("a").pairs.at("Host Attached"), "0");
  EXPECT_EQ(entry("b").pairs.at("Host Attached"), "0");
}

// Refresh() takes the road of a USB match: startMonitoring, on the loop.
TEST_F(AppDelegateTest, RefreshStartsOneRunOnTheNextIterationAndNeverASecondAtOnce) {
  launcher.setDefault(ProcessScript{kDevice, milliseconds(300)});
  launch();
  host.callRefresh();
  host.callRefresh();                       // before the first has started: the same request
  EXPECT_EQ(launcher.launchedCount(), 0u);  // the caller is answered first
  int refreshesDuringTheRun = 0;
  loop.postDelayed(milliseconds(100), [&] {
    host.callRefresh();
    ++refreshesDuringTheRun;
  });
  loop.runUntilIdle();
  EXPECT_EQ(launcher.launchedCount(), 1u);
  EXPECT_EQ(refreshesDuringTheRun, 1);
  EXPECT_EQ(loop.elapsed(), milliseconds(300));
  EXPECT_EQ(stacks(), 1u);
  EXPECT_FALSE(delegate.stillRunning());
  // The request served during the run armed a timer, which the run's end replaced.
  EXPECT_EQ(loop.pendingTimerCount(), 1u);
  EXPECT_EQ(loop.nextTaskDelay(), milliseconds(5000));

  // Idle again: the next request is the next run, at once.
  host.callRefresh();
  loop.runUntilIdle();
  EXPECT_EQ(launcher.launchedCount(), 2u);
  EXPECT_EQ(loop.elapsed(), milliseconds(600));
}

TEST_F(AppDelegateTest, SingleInstanceAsksAllButTheFirstListedToQuitLastFirst) {
  workspace.add(10, "vemo.Tallyport.NUVModule");
  workspace.add(11, std::nullopt);
  workspace.add(12, "vemo.Tallyport.NUVModule");
  workspace.add(13, "VEMO.Tallyport.NUVModule");  // another application: case counts
  workspace.add(14, "vemo.Tallyport.NUVModule");
  delegate.applicationWillFinishLaunching();
  EXPECT_THAT(workspace.terminated, ElementsAre(14, 12));

  // Without an identifier of its own the rule is skipped.
  workspace.terminated.clear();
  bundle.identifier.reset();
  delegate.applicationWillFinishLaunching();
  EXPECT_TRUE(workspace.terminated.empty());
}

}  // namespace
}  // namespace nuv
