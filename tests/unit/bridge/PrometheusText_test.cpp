#include "PrometheusText.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "DeviceTable.h"

namespace nuvbridge {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

nuvclient::StackPayload map(std::vector<nuvclient::DeviceEntry> entries) {
  nuvclient::StackPayload payload;
  payload.devices = std::move(entries);
  return payload;
}

std::string render(const nuvclient::StackPayload& payload, bool up = true,
                   std::optional<bool> mqtt = std::nullopt) {
  DeviceTable table;
  table.update(payload);
  return PrometheusText::render(table.devices(), up, mqtt);
}

// What a scraper accepts: comments, then samples whose label values are
// quoted with only \\, \" and \n escaped, and a number.
void expectParseable(const std::string& text) {
  static const std::regex sample(
      R"(^[a-z_]+(\{[a-z_]+="([^"\\\n]|\\[\\"n])*"(,[a-z_]+="([^"\\\n]|\\[\\"n])*")*\})? -?[0-9.e+-]+$)");
  static const std::regex comment(R"(^# (HELP|TYPE) [a-z_]+ .+$)");
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(std::regex_match(line, sample) || std::regex_match(line, comment)) << line;
  }
  EXPECT_EQ(text.back(), '\n');
}

TEST(PrometheusText, SeriesPerReportedValueWhateverTheMapHolds) {
  struct Case {
    const char* what;
    nuvclient::DeviceEntry entry;
    std::vector<const char*> present;
    std::vector<const char*> absent;
  };
  const Case cases[] = {
      {"every key",
       {"u1",
        {{"name", "Pad"},
         {"ProductType", "iPad8,1"},
         {"Host Attached", "1"},
         {"Trusted", "1"},
         {"Battery", "85"},
         {"Charging", "0"},
         {"ExternalConnected", "1"},
         {"FullyCharged", "0"},
         {"BatteryCycleCount", "412"},
         {"BatteryMaxCapacity", "88"},
         {"BatteryTemperature", "-3"},
         {"ChargerWatts", "20"}},
        nuv::Date::fromMicroseconds(1780000000500000)},
       {"nuv_device_info{udid=\"u1\",name=\"Pad\",product_type=\"iPad8,1\"} 1\n",
        "nuv_device_attached{udid=\"u1\"} 1\n", "nuv_device_trusted{udid=\"u1\"} 1\n",
        "nuv_battery_level_ratio{udid=\"u1\"} 0.85\n", "nuv_battery_charging{udid=\"u1\"} 0\n",
        "nuv_battery_external_power{udid=\"u1\"} 1\n", "nuv_battery_fully_charged{udid=\"u1\"} 0\n",
        "nuv_battery_max_capacity_ratio{udid=\"u1\"} 0.88\n",
        "nuv_battery_charge_cycles_total{udid=\"u1\"} 412\n",
        "nuv_battery_temperature_celsius{udid=\"u1\"} -3\n",
        "nuv_charger_power_watts{udid=\"u1\"} 20\n",
        "nuv_device_last_change_timestamp_seconds{udid=\"u1\"} 1780000000.5\n",
        "# TYPE nuv_battery_charge_cycles_total counter\n",
        "# TYPE nuv_battery_level_ratio gauge\n"},
       {}},
      {"an untrusted device: no battery series, empty labels for what it did not report",
       {"u2", {{"Trusted", "0"}}, std::nullopt},
       {"nuv_device_info{udid=\"u2\",name=\"\",product_type=\"\"} 1\n",
        "nuv_device_trusted{udid=\"u2\"} 0\n", "# HELP nuv_battery_level_ratio "},
       {"nuv_battery_level_ratio{", "nuv_device_last_change_timestamp_seconds{"}},
      {"values that are not what the key promises",
       {"u3",
        {{"Battery", "-5"},
         {"Charging", "yes please"},
         {"BatteryCycleCount", "-4"},
         {"ChargerWatts", "1e3"},
         {"BatteryTemperature", "3 4"}},
        std::nullopt},
       {},
       {"nuv_battery_level_ratio{", "nuv_battery_charging{", "nuv_battery_charge_cycles_total{",
        "nuv_charger_power_watts{", "nuv_battery_temperature_celsius{"}},
      {"a hostile name and key: escaped, bad bytes replaced",
       {"k\"\\\n", {{"name", "Ann's \"Pad\"\\\n\xff\xc3("}}, std::nullopt},
       {"nuv_device_info{udid=\"k\\\"\\\\\\n\",name=\"Ann's "
        "\\\"Pad\\\"\\\\\\n\xEF\xBF\xBD\xEF\xBF\xBD(\""
        ",product_type=\"\"} 1\n"},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string text = render(map({c.entry}));
    expectParseable(text);
    for (const char* line : c.present) EXPECT_THAT(text, HasSubstr(line));
    for (const char* line : c.absent) EXPECT_THAT(text, Not(HasSubstr(line)));
  }
}

TEST(PrometheusText, ModuleAndBrokerStateAndTheLastChangeKept) {
  const std::string down = render(map({}), false);
  EXPECT_THAT(down, HasSubstr("# TYPE nuv_module_up gauge\nnuv_module_up 0\n"));
  EXPECT_THAT(down, Not(HasSubstr("nuv_bridge_mqtt_connected")));
  EXPECT_THAT(render(map({}), true, false), HasSubstr("\nnuv_bridge_mqtt_connected 0\n"));
  EXPECT_THAT(render(map({}), true, true), HasSubstr("\nnuv_bridge_mqtt_connected 1\n"));

  // The module drops "timestamp" from an unchanged entry; a device that left
  // the map and came back has no change to show until it changes.
  DeviceTable table;
  const auto stamped = nuv::Date::fromMicroseconds(1780000000000000);
  table.update(map({{"a", {{"Battery", "5"}}, stamped}, {"b", {}, stamped}}));
  table.update(map({{"a", {{"Battery", "5"}}, std::nullopt}}));
  table.update(map({{"a", {{"Battery", "5"}}, std::nullopt}, {"b", {}, std::nullopt}}));
  const std::string text = PrometheusText::render(table.devices(), true, std::nullopt);
  EXPECT_THAT(text, HasSubstr("nuv_device_last_change_timestamp_seconds{udid=\"a\"} 1780000000\n"));
  EXPECT_THAT(text, Not(HasSubstr("nuv_device_last_change_timestamp_seconds{udid=\"b\"}")));
}

}  // namespace
}  // namespace nuvbridge
