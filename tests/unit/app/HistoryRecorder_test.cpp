// What goes into the battery history, and the gaps a reader is shown.

#include "app/HistoryRecorder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/fake/FakeCalendar.h"
#include "platform/fake/FakeRunLoop.h"

namespace nuv {
namespace {

using std::chrono::hours;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

Date at(std::int64_t seconds) { return Date::fromMicroseconds(seconds * 1'000'000); }

// Remembers the calls.
struct RecordingStore : HistoryStore {
  std::vector<std::pair<std::string, BatterySample>> samples;
  std::vector<std::string> names;  // of each sample
  std::vector<ModuleEvent> events;
  std::vector<std::tuple<std::string, std::chrono::sys_days, HealthReading>> health;
  std::vector<std::pair<Date, Date>> cutoffs;
  int flushes = 0;

  void addSample(const std::string& d, const std::string& name, const BatterySample& s) override {
    samples.emplace_back(d, s);
    names.push_back(name);
  }
  void addEvent(const ModuleEventAt& e) override { events.push_back(e.event); }
  void addHealth(const std::string& d, const std::string&, std::chrono::sys_days day,
                 const HealthReading& h) override {
    health.emplace_back(d, day, h);
  }
  void pruneBefore(Date cutoff, Date healthCutoff) override {
    cutoffs.emplace_back(cutoff, healthCutoff);
  }
  void read(const std::string&, Date, std::function<void(Stored)> done) override { done({}); }
  void readDevices(Date, std::function<void(std::vector<HistoryDevice>)>) override {}
  void readHealth(const std::string&, Date,
                  std::function<void(std::vector<HealthReading>)>) override {}
  void flush(Milliseconds) override { ++flushes; }
};

DeviceStatusMap mapOf(std::map<std::string, std::string> pairs, std::optional<Date> stamp = {}) {
  return {{"abc", DeviceEntry{ProbeOutput(pairs.begin(), pairs.end()), stamp}}};
}

class HistoryRecorderTest : public ::testing::Test {
 protected:
  HistoryRecorderTest() { loop.setWallClockOrigin(at(1'000'000'000)); }
  fake::FakeRunLoop loop;
  RecordingStore store;
  fake::FakeCalendar calendar{hours(13)};
  HistoryRecorder recorder{loop, store, &calendar};
};

TEST_F(HistoryRecorderTest, ASampleForEachBroadcastThatChangesLevelChargingOrExternalPower) {
  const Date now = loop.clock().now();
  struct Case {
    std::map<std::string, std::string> pairs;
    std::optional<Date> stamp;
    std::optional<BatterySample> stored;
  } cases[] = {
      {{{"Battery", "85"}, {"Charging", "1"}}, at(5), BatterySample{at(5), 85, true, false}},
      {{{"Battery", "85"}, {"Charging", "1"}, {"Host Attached", "0"}}, at(6), std::nullopt},
      {{{"Battery", "84"}, {"Charging", "1"}, {"name", "iPad"}},
       std::nullopt,
       BatterySample{now, 84, true, false}},
      {{{"Battery", "84"}, {"Charging", "0"}}, at(7), BatterySample{at(7), 84, false, false}},
      {{{"Battery", "84"}, {"ExternalConnected", "1"}},
       at(8),
       BatterySample{at(8), 84, false, true}},
      {{{"Trusted", "0"}}, at(9), std::nullopt},
      {{{"Battery", "250"}, {"ExternalConnected", "1"}},
       at(10),
       BatterySample{at(10), 100, false, true}},
  };
  for (const auto& c : cases) {
    store.samples.clear();
    recorder.mapBroadcast(mapOf(c.pairs, c.stamp));
    if (c.stored) {
      EXPECT_THAT(store.samples, ElementsAre(std::pair{std::string("abc"), *c.stored}));
    } else {
      EXPECT_TRUE(store.samples.empty());
    }
  }
  EXPECT_THAT(store.names, ElementsAre("", "iPad", "", "", ""));
}

// The origin is 14:46:40 local time (UTC+13): the local day ends 33,200 s
// later, the UTC one 80,000 s later.
TEST_F(HistoryRecorderTest, AHealthRowWhenTheReadingChangesOrOnTheFirstBroadcastOfALocalDay) {
  const Date start = loop.clock().now();
  const auto today = calendar.dayOf(start);
  using std::nullopt;
  struct Case {
    Milliseconds after;
    std::map<std::string, std::string> pairs;
    std::optional<HealthReading> stored;
    int day = 0;  // after today
  } cases[] = {
      {{},
       {{"Battery", "85"}, {"BatteryCycleCount", "500"}, {"BatteryMaxCapacity", "86"}},
       HealthReading{start, 500, nullopt, nullopt, 86}},
      {hours(1),
       {{"Battery", "84"}, {"BatteryCycleCount", "500"}, {"BatteryMaxCapacity", "86"}},
       nullopt},
      {hours(1),
       {{"BatteryCycleCount", "501"},
        {"BatteryMaxCapacity", "86"},
        {"BatteryFullChargeCapacity", "2815"},
        {"BatteryDesignCapacity", "3279 mAh"}},
       HealthReading{Date{start.time + hours(2)}, 501, 2815, nullopt, 86}},
      {{}, {{"Trusted", "0"}}, nullopt},
      {{}, {{"BatteryCycleCount", "-1"}, {"BatteryMaxCapacity", "x"}}, nullopt},
      {Milliseconds(33'200'000 - 7'200'000 - 1),
       {{"BatteryCycleCount", "501"},
        {"BatteryMaxCapacity", "86"},
        {"BatteryFullChargeCapacity", "2815"}},
       nullopt},
      {Milliseconds(1),
       {{"BatteryCycleCount", "501"},
        {"BatteryMaxCapacity", "86"},
        {"BatteryFullChargeCapacity", "2815"}},
       HealthReading{Date{start.time + std::chrono::seconds(33'200)}, 501, 2815, nullopt, 86},
       1},
  };
  for (const auto& c : cases) {
    loop.advance(c.after);
    store.health.clear();
    recorder.mapBroadcast(mapOf(c.pairs));
    if (c.stored) {
      EXPECT_THAT(
          store.health,
          ElementsAre(std::tuple{std::string("abc"), today + std::chrono::days(c.day), *c.stored}))
          << (&c - cases);
    } else {
      EXPECT_TRUE(store.health.empty()) << (&c - cases);
    }
  }
}

TEST_F(HistoryRecorderTest, StartPrunesTo90DaysAndFiveYearsExactlyAndAgainEveryDayStopFlushes) {
  const Date start = loop.clock().now();
  recorder.moduleStarted();
  loop.advance(hours(24) - Milliseconds(1));
  auto cutoffs = [&](int day) {
    return std::pair{Date{start.time + hours(24 * day) - hours(24 * 90)},
                     Date{start.time + hours(24 * day) - hours(24 * 1826)}};
  };
  EXPECT_THAT(store.cutoffs, ElementsAre(cutoffs(0)));
  loop.advance(Milliseconds(1));
  EXPECT_THAT(store.cutoffs, ElementsAre(cutoffs(0), cutoffs(1)));
  recorder.moduleSleeping();
  recorder.moduleWoke();
  recorder.moduleStopping();
  EXPECT_THAT(store.events, ElementsAre(ModuleEvent::Start, ModuleEvent::Sleep, ModuleEvent::Wake,
                                        ModuleEvent::Stop));
  EXPECT_EQ(store.flushes, 1);
}

TEST(HistoryGaps, FromStopOrSleepToTheNextStartOrWakeClippedToTheWindow) {
  using E = ModuleEvent;
  const std::vector<BatterySample> samples = {{at(12), 50, false, false}};
  struct Case {
    const char* what;
    std::vector<ModuleEventAt> events;
    std::vector<HistoryGap> gaps;
  } cases[] = {
      {"running since before", {{at(1), E::Start}}, {}},
      {"stop then start",
       {{at(1), E::Start}, {at(20), E::Stop}, {at(30), E::Start}},
       {{at(20), at(30)}}},
      {"sleep, wake, relaunch",
       {{at(1), E::Start},
        {at(20), E::Sleep},
        {at(30), E::Wake},
        {at(31), E::Stop},
        {at(34), E::Start}},
       {{at(20), at(30)}, {at(31), at(34)}}},
      {"stopped before the window", {{at(5), E::Stop}, {at(30), E::Start}}, {{at(10), at(30)}}},
      {"crash: from the last sample", {{at(5), E::Start}, {at(30), E::Start}}, {{at(12), at(30)}}},
      {"crash: from the later event",
       {{at(5), E::Start}, {at(15), E::Wake}, {at(30), E::Start}},
       {{at(15), at(30)}}},
      {"stopped until now", {{at(11), E::Start}, {at(40), E::Stop}}, {{at(40), at(50)}}},
  };
  for (const auto& c : cases) {
    EXPECT_THAT(HistoryRecorder::gaps({samples, c.events}, at(10), at(50)),
                ElementsAreArray(c.gaps))
        << c.what;
  }
}

}  // namespace
}  // namespace nuv
