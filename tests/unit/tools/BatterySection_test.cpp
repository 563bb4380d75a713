#include "BatterySection.h"

#include <gtest/gtest.h>

namespace nuvdevices {
namespace {

// The section as "label=value|...", for the probe's fields (C locale: no grouping).
std::string shown(const std::map<std::string, std::string>& fields) {
  std::string out;
  for (const auto& item : BatterySection::items({"udid", fields, std::nullopt})) {
    out += (out.empty() ? "" : "|") + item.label + "=" + item.value;
  }
  return out;
}

TEST(BatterySection, ItemsFromTheProbesKeys) {
  EXPECT_EQ(shown({{"BatteryMaxCapacity", "107"},
                   {"BatteryFullChargeCapacity", "3500"},
                   {"BatteryDesignCapacity", "3279"},
                   {"BatteryCycleCount", "0"},
                   {"BatteryTemperature", "-5"},
                   {"ChargerWatts", "7"},
                   {"ChargerWireless", "1"},
                   {"ChargingWatts", "4"}}),
            "Maximum capacity=107%|Capacity=3500 of 3279 mAh|Charge cycles=0|"
            "Temperature=-5 \u00b0C|Charger=7 W \u00b7 wireless|Charging power=4 W");
  // Garbled, absurd or signed where it cannot be: left out; a name made safe.
  EXPECT_EQ(shown({{"BatteryMaxCapacity", "87.5"},
                   {"BatteryFullChargeCapacity", "-1"},
                   {"BatteryDesignCapacity", "3279"},
                   {"BatteryCycleCount", "+3"},
                   {"BatteryTemperature", "101"},
                   {"ChargerName", "Pad\x1b[2J"},
                   {"ChargerWatts", "1001"},
                   {"ChargingWatts", "0"}}),
            "Capacity=3279 mAh when new|Charger=Pad?[2J");
  EXPECT_EQ(shown({{"BatteryFullChargeCapacity", "2815"}, {"ExternalConnected", "0"}}),
            "Capacity=2815 mAh at full charge|Charger=Not connected");
  EXPECT_EQ(shown({{"ExternalConnected", "1"}}), "Charger=Connected");
  EXPECT_EQ(shown({{"Trusted", "0"}, {"BatteryTemperature", "30"}, {"ExternalConnected", "1"}}),
            "");
}

}  // namespace
}  // namespace nuvdevices
