#include "WatchView.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace nuvctl {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// `seconds` after an arbitrary origin.
nuv::Date at(std::int64_t seconds) {
  return nuv::Date::fromMicroseconds((1765000000 + seconds) * 1000000);
}

DeviceEntry entry(std::string key, std::map<std::string, std::string> fields,
                  std::optional<nuv::Date> timestamp = std::nullopt) {
  return DeviceEntry{std::move(key), std::move(fields), timestamp};
}

// Field values, escaping and timestamps of the JSON line are checked end to end
// by tests/integration/tools_test.py.
TEST(WatchViewJson, InvalidUtf8CostsACharacterNotTheLineAndEdgeCasesStayValid) {
  StackPayload payload;
  payload.devices.push_back(entry("bad\xFFkey", {{"name", "x\xC3"}}));
  std::string line;
  ASSERT_NO_THROW(line = WatchView::jsonLine(payload, at(0)));
  EXPECT_TRUE(nlohmann::json::accept(line)) << line;
  // An empty map, and dates before the epoch.
  EXPECT_EQ(nlohmann::json::parse(WatchView::jsonLine(StackPayload{}, at(0)))["devices"],
            nlohmann::json::object());
  EXPECT_EQ(nlohmann::json::parse(
                WatchView::jsonLine(StackPayload{}, nuv::Date::fromMicroseconds(-1)))["received"],
            "1969-12-31T23:59:59.999999Z");
}

TEST(WatchViewCells, AgeAndBattery) {
  EXPECT_EQ(WatchView::age(-5), "0s");  // clock skew between module and watcher
  EXPECT_EQ(WatchView::age(3599), "59m 59s");
  EXPECT_EQ(WatchView::age(90061), "1d 01h");

  const std::pair<std::string, std::string> cells[] = {{"87", "[######### ]  87%"},
                                                       {"0", "[          ]   0%"},
                                                       {"250", "[##########] 100%"},
                                                       {"-3", "-"},
                                                       {"8x", "-"},
                                                       {"99999999999", "-"}};
  for (const auto& [text, cell] : cells) EXPECT_EQ(WatchView::batteryCell(&text), cell) << text;
  EXPECT_EQ(WatchView::batteryCell(nullptr), "-");
}

TEST(WatchViewTable, WaitsThenShowsEveryDeviceWithItsLastKnownChange) {
  WatchView view;
  EXPECT_THAT(view.table(at(0)), HasSubstr("Waiting"));

  StackPayload first;
  first.devices.push_back(entry("u1",
                                {{"name", "My Phone"},
                                 {"Battery", "87"},
                                 {"Charging", "1"},
                                 {"Host Attached", "1"},
                                 {"BatteryCycleCount", "412"},
                                 {"BatteryMaxCapacity", "87"},
                                 {"ChargingWatts", "12"},
                                 {"ChargerWatts", "20"},
                                 {"BatteryTemperature", "31"}},
                                at(0)));
  view.update(first, at(0));
  // Unchanged since: the module re-sends the entry without its timestamp.
  StackPayload second;
  second.devices.push_back(entry("u1", first.devices[0].fields));
  second.devices.push_back(entry("u2\x1b[2J", {{"Host Attached", "0"}}));
  second.devices.push_back(entry("u3", {{"name", "Ünïcödé name that is far too long for it"}}));
  view.update(second, at(70));

  const std::string table = view.table(at(75));
  EXPECT_THAT(table, HasSubstr("3 reported, updated 5s ago"));
  EXPECT_THAT(table, HasSubstr("My Phone"));
  EXPECT_THAT(
      table,
      HasSubstr("[######### ]  87%  yes       yes       1m 15s ago\n" + std::string(26, ' ') +
                "battery now: Charging at 12 W \u00b7 20 W charger \u00b7 31 \u00b0C\n" +
                std::string(26, ' ') + "battery health: 412 cycles, 87% of design capacity\n"));
  // No name: the key stands in, disarmed; no change seen: no age.
  EXPECT_THAT(table, HasSubstr("u2?[2J"));
  EXPECT_THAT(table, HasSubstr("-                  -         no        -\n"));
  EXPECT_THAT(table, Not(HasSubstr("\x1b")));
  EXPECT_THAT(table, HasSubstr("Ünïcödé name that is fa…  -"));  // cut to the column
}

}  // namespace
}  // namespace nuvctl
