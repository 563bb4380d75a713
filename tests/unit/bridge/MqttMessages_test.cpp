#include "MqttMessages.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace nuvbridge {
namespace {

using nlohmann::json;

DeviceFacts facts(std::string key, std::map<std::string, std::string> fields,
                  std::optional<nuv::Date> timestamp = std::nullopt) {
  return DeviceFacts::fromEntry({std::move(key), std::move(fields), timestamp});
}

TEST(MqttMessages, StateHoldsOnlyWhatTheDeviceReported) {
  EXPECT_EQ(json::parse(MqttMessages::state(facts("u",
                                                  {{"name", "Pad"},
                                                   {"Battery", "85"},
                                                   {"Charging", "1"},
                                                   {"ExternalConnected", "1"},
                                                   {"Host Attached", "0"},
                                                   {"Trusted", "1"},
                                                   {"FullyCharged", "0"},
                                                   {"BatteryCycleCount", "412"},
                                                   {"BatteryMaxCapacity", "88"},
                                                   {"BatteryTemperature", "31"},
                                                   {"ChargerWatts", "20"},
                                                   {"Other", "x"}},
                                                  nuv::Date::fromMicroseconds(1780000000000000)))),
            json::parse(R"({"name": "Pad", "battery": 85, "charging": true,
                "external_power": true, "attached": false, "trusted": true,
                "fully_charged": false, "cycle_count": 412, "max_capacity": 88,
                "temperature": 31, "charger_watts": 20, "timestamp": "2026-05-28T20:26:40Z"})"));
  // Not reported, or not a value of its kind: left out, never null.
  EXPECT_EQ(MqttMessages::state(facts("u", {{"Trusted", "0"}, {"Battery", "high"}})),
            R"({"trusted":false})");
  // Invalid UTF-8 in a name still makes a JSON document.
  EXPECT_EQ(json::parse(MqttMessages::state(facts("u", {{"name", "Ann\xff\"\n"}})))["name"],
            "Ann\xEF\xBF\xBD\"\n");
}

TEST(MqttMessages, DiscoveryPerEntityWithIdsSafeForTopics) {
  const MqttMessages m("nuv", "homeassistant", "my.host");
  EXPECT_EQ(m.availabilityTopic(), "nuv/my_host/status");
  const auto plain = m.discovery(facts("a/b+#", {{"name", "Pad"}}));
  ASSERT_EQ(plain.size(), 3u);  // battery, charging, plugged
  EXPECT_EQ(plain[0].topic, "homeassistant/sensor/nuv_a_b__/battery/config");
  EXPECT_EQ(plain[2].topic, "homeassistant/binary_sensor/nuv_a_b__/plugged/config");
  const auto battery = json::parse(plain[0].payload);
  EXPECT_EQ(battery["unique_id"], "nuv_a_b___battery");
  EXPECT_EQ(battery["state_topic"], "nuv/my_host/a_b__/state");
  EXPECT_EQ(battery["availability_topic"], "nuv/my_host/status");
  EXPECT_EQ(battery["device_class"], "battery");
  EXPECT_EQ(battery["device"], json::parse(R"({"identifiers": ["nuv_a_b__"], "name": "Pad"})"));
  EXPECT_EQ(json::parse(plain[2].payload)["value_template"],
            "{{ value_json.external_power | default(None) }}");

  const auto full = m.discovery(facts("u", {{"ProductType", "iPhone14,2"},
                                            {"BatteryTemperature", "30"},
                                            {"BatteryMaxCapacity", "90"},
                                            {"BatteryCycleCount", "5"}}));
  ASSERT_EQ(full.size(), 6u);
  EXPECT_EQ(full[5].topic, "homeassistant/sensor/nuv_u/cycle_count/config");
  const auto cycles = json::parse(full[5].payload);
  EXPECT_EQ(cycles["state_class"], "total_increasing");
  EXPECT_EQ(cycles["device"]["model"], "iPhone14,2");
  EXPECT_EQ(cycles["device"]["name"], "u");  // no name reported
  EXPECT_EQ(json::parse(full[3].payload)["unit_of_measurement"], "°C");
}

}  // namespace
}  // namespace nuvbridge
