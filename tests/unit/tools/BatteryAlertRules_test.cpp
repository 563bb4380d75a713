#include "BatteryAlertRules.h"

#include <gtest/gtest.h>

#include <sstream>

#include "platform/fake/FakeRunLoop.h"

namespace nuvdevices {
namespace {

using namespace std::chrono_literals;

struct Recorder : AlertSink {
  void show(const Alert& a) override {
    log += " show " + BatteryAlertRules::kindName(a.kind);
    texts.push_back(a.title + " / " + a.body);
  }
  void withdraw(AlertKind kind, const std::string&) override {
    log += " withdraw " + BatteryAlertRules::kindName(kind);
  }
  void remember(const std::string& s) override { state = s; }
  std::string log, state;
  std::vector<std::string> texts;
};

nuvclient::StackPayload mapOf(const std::map<std::string, std::string>& fields) {
  return nuvclient::StackPayload{{nuvclient::DeviceEntry{"udid", fields, std::nullopt}}};
}

// One device driven by steps, each "field=value ..." (B Battery, C Charging,
// E ExternalConnected, F FullyCharged, T Trusted, H Host Attached, K
// BatteryTemperature) followed by a map, or "+MS" (virtual time passes),
// "gone" (the device leaves the map), "low=N", "target=N", "hot=N",
// "off"/"on" (battery-alerts), "nc-off" (not-charging alert). The result is what the sink saw, step
// by step, joined with '|'.
std::string run(const std::vector<std::string>& steps, std::string_view state = "") {
  nuv::fake::FakeRunLoop loop;
  Recorder sink;
  AlertSettings settings;
  BatteryAlertRules rules(loop, sink, settings, state);
  std::map<std::string, std::string> fields{
      {"name", "Phone"}, {"Trusted", "1"}, {"Host Attached", "1"}, {"Charging", "0"}};
  static const std::map<std::string, std::string> names{
      {"B", "Battery"}, {"C", "Charging"},      {"E", "ExternalConnected"}, {"F", "FullyCharged"},
      {"T", "Trusted"}, {"H", "Host Attached"}, {"K", "BatteryTemperature"}};
  std::string out;
  for (const auto& step : steps) {
    sink.log.clear();
    if (step[0] == '+') {
      loop.advance(nuv::Milliseconds(std::stoll(step.substr(1))));
    } else if (step == "gone") {
      rules.update({});
    } else if (step == "off" || step == "on" || step == "nc-off" || step.find("low=") == 0 ||
               step.find("target=") == 0 || step.find("hot=") == 0) {
      if (step == "off" || step == "on") settings.enabled = step == "on";
      if (step == "nc-off") settings.notCharging = false;
      if (step.find("low=") == 0) settings.lowLevel = std::stoi(step.substr(4));
      if (step.find("target=") == 0) settings.chargeTarget = std::stoi(step.substr(7));
      if (step.find("hot=") == 0) settings.hotTemperature = std::stoi(step.substr(4));
      rules.setSettings(settings);
    } else {
      std::istringstream words(step);
      for (std::string word; words >> word;) {
        fields[names.at(word.substr(0, 1))] = word.substr(2);
      }
      rules.update(mapOf(fields));
    }
    out += (out.empty() ? "" : "|") + (sink.log.empty() ? "-" : sink.log.substr(1));
  }
  return out;
}

TEST(BatteryAlertRules, Crossings) {
  struct Case {
    const char* what;
    std::vector<std::string> steps;
    const char* seen;
  };
  const Case cases[] = {
      {"low at the level, not above", {"B=21", "B=20", "B=19"}, "-|show low|-"},
      {"flapping 19/21 every run: one alert",
       {"B=19", "B=21", "B=19", "B=21", "B=19"},
       "show low|-|-|-|-"},
      {"low again only from 5 points above",
       {"B=19", "B=24", "B=19", "B=25", "B=19"},
       "show low|-|-|withdraw low|show low"},
      {"charging re-arms and withdraws low",
       {"B=15", "C=1", "C=0"},
       "show low|withdraw low|show low"},
      {"low level setting", {"B=15", "low=10", "B=10"}, "show low|withdraw low|show low"},
      {"charged at the target while charging, again from 5 below",
       {"C=1 B=99", "B=100", "B=96", "B=100", "B=95", "B=100"},
       "-|show charged|-|-|withdraw charged|show charged"},
      {"100 and FullyCharged once charging stopped on power; unplugged withdraws",
       {"C=1 B=99", "C=0 E=1 F=1 B=100", "C=0 E=1 F=1 B=100", "E=0 F=0"},
       "-|show charged|-|withdraw charged"},
      {"charge target 80; FullyCharged counts only at 100",
       {"target=80", "C=1 B=79", "B=80"},
       "-|-|show charged"},
      {"target lowered below a charging level: at once",
       {"C=1 B=85", "target=80"},
       "-|show charged"},
      {"untrusted: no battery alert", {"T=0 B=5", "T=0 C=1 B=100 F=1"}, "-|-"},
      {"not charging: 9:59 no, 10:00 yes, runs in between do not restart it",
       {"E=1 B=50", "+300000", "E=1 B=50", "+299999", "+1", "B=50", "C=1"},
       "-|-|-|-|show not-charging|-|withdraw not-charging"},
      {"not charging ends before 10 minutes: no alert",
       {"E=1 B=50", "+599999", "C=1", "+1000"},
       "-|-|-|-"},
      {"not charging: not at the target or when full",
       {"E=1 B=100", "E=1 B=99 F=1", "+600000"},
       "-|show charged|-"},
      {"not charging switched off", {"nc-off", "E=1 B=50", "+600000"}, "-|-|-"},
      {"needs trust after a minute, once per attach",
       {"T=0", "+59999", "+1", "T=1", "T=0", "+60000", "H=0", "H=1", "+60000"},
       "-|-|show needs-trust|withdraw needs-trust|-|-|-|-|show needs-trust"},
      {"not attached: no trust alert", {"T=0 H=0", "+60000"}, "-|-"},
      {"a device that leaves stops its timers", {"T=0", "+30000", "gone", "+60000"}, "-|-|-|-"},
      {"alerts off withdraws; on again does not repeat what was told",
       {"B=15", "off", "B=14", "on", "B=30", "B=15"},
       "show low|withdraw low|-|-|-|show low"},
      {"alerts off: nothing fires, and it does on again when still holding",
       {"off", "B=15", "T=0", "+60000", "on", "+60000"},
       "-|-|-|-|-|show needs-trust"},
      {"alerts on again while low holds", {"off", "B=15", "on"}, "-|-|show low"},
      {"hot at 40, once while 38-41; cooled to 37 withdraws, and hot again",
       {"B=50 K=39", "K=40", "K=38", "K=41", "K=37", "K=40"},
       "-|show hot|-|-|withdraw hot|show hot"},
      {"hot whether charging or not, without a level; no temperature keeps it",
       {"C=1 K=45", "C=0 K=x", "K=-3"},
       "show hot|-|withdraw hot"},
      {"hot temperature lowered below the reading, then raised past it",
       {"K=36", "hot=35", "hot=38", "hot=39"},
       "-|show hot|-|withdraw hot"},
      {"untrusted or alerts off: no hot alert", {"T=0 K=50", "off", "T=1", "on"}, "-|-|-|show hot"},
  };
  for (const auto& c : cases) EXPECT_EQ(run(c.steps), c.seen) << c.what;
}

TEST(BatteryAlertRules, WhatWasToldSurvivesARestart) {
  nuv::fake::FakeRunLoop loop;
  Recorder sink;
  BatteryAlertRules first(loop, sink, {}, "");
  const nuvclient::StackPayload map{
      {{"udid", {{"name", "Ann"}, {"Battery", "9"}, {"BatteryTemperature", "44"}}, std::nullopt},
       {"we\tird", {{"Battery", "9"}}, std::nullopt}}};
  first.update(map);
  // A key that cannot be written stays in memory.
  EXPECT_EQ(sink.state, "low\tudid\nhot\tudid\n");
  EXPECT_EQ(sink.texts[0],
            "Ann is hot / Its battery is at 44 \u00b0C. Let it cool: off the charger, out of its "
            "case and out of the sun.");
  EXPECT_EQ(sink.texts[1], "Ann: battery low / 9% left. Connect it to a charger.");

  Recorder again;
  BatteryAlertRules second(loop, again, {}, sink.state + "bogus\nlow\t\nlow\tgone-device\n");
  second.update(map);
  EXPECT_EQ(again.log, " show low");  // only the one that was not written
  EXPECT_EQ(second.state(), "low\tgone-device\nlow\tudid\nhot\tudid\n");
  EXPECT_EQ(run({"B=19"}, "low\tudid\n"), "-");
}

}  // namespace
}  // namespace nuvdevices
