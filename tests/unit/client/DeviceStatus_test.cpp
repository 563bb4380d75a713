#include "client/DeviceStatus.h"

#include <gtest/gtest.h>

#include <map>

// The status texts are checked where they are shown: the terminal table
// (WatchView_test) and the window's rows (DeviceRowModel_test); the power
// parts, which both show the same, here.
namespace nuvclient {
namespace {

TEST(DeviceStatus, DisplayTextDisarmsTerminalEscapes) {
  EXPECT_EQ(DeviceStatus::displayText("Zoë’s iPhone"), "Zoë’s iPhone");
  EXPECT_EQ(DeviceStatus::displayText("\x1b]0;pwned\x07\x1b[2J"), "?]0;pwned??[2J");
  EXPECT_EQ(DeviceStatus::displayText("a\302\233b"), "a?b");  // C1 CSI
  EXPECT_EQ(DeviceStatus::displayText("a\377b"), "a?b");
}

TEST(DeviceStatus, PowerPartsSayOnlyWhatIsKnown) {
  struct Case {
    std::map<std::string, std::string> fields;
    const char* power;
    const char* summary;
  };
  const Case cases[] = {
      {{{"Battery", "40"},
        {"Charging", "1"},
        {"Host Attached", "1"},
        {"ChargingWatts", "12"},
        {"ChargerWatts", "20"},
        {"ChargerWireless", "0"},
        {"BatteryTemperature", "31"}},
       "Charging at 12 W \u00b7 20 W charger \u00b7 31 \u00b0C",
       "40%, charging at 12 W, 20 W charger, 31 \u00b0C, attached by USB"},
      {{{"Charging", "1"}, {"ChargerWatts", "5"}, {"ChargerWireless", "0"}, {"ChargingWatts", "2"}},
       "Charging slowly at 2 W \u00b7 5 W charger",
       nullptr},
      // A port that cannot keep up: charging said, no current going in.
      {{{"Charging", "1"}, {"ChargerWatts", "2"}}, "Charging slowly \u00b7 2 W charger", nullptr},
      {{{"Charging", "1"}, {"ChargerWatts", "5"}, {"ChargerWireless", "1"}, {"ChargingWatts", "3"}},
       "Charging at 3 W \u00b7 5 W wireless charger",
       nullptr},
      {{{"Battery", "80"},
        {"Charging", "0"},
        {"ChargerWatts", "20"},
        {"ChargerName", "x"},
        {"BatteryTemperature", "-5"}},
       "Not charging \u00b7 20 W charger \u00b7 -5 \u00b0C",
       "80%, not charging, 20 W charger, -5 \u00b0C, not attached"},
      {{{"Battery", "100"}, {"Charging", "0"}, {"FullyCharged", "1"}, {"ChargerName", "USB-C"}},
       "Fully charged",
       nullptr},
      {{{"Battery", "50"}, {"BatteryTemperature", "29"}, {"ExternalConnected", "1"}},
       "29 \u00b0C",
       "50%, 29 \u00b0C, not attached"},
      // Without the new keys, as before them.
      {{{"Battery", "50"}, {"Charging", "1"}}, "", "50%, charging, not attached"},
      {{{"Battery", "50"}, {"Charging", "0"}, {"ExternalConnected", "1"}}, "", "50%, not attached"},
      {{{"Charging", "1"},
        {"ChargerWatts", "1001"},
        {"ChargingWatts", "12.5"},
        {"BatteryTemperature", "101"}},
       "",
       "Battery unknown, charging, not attached"},
      {{{"BatteryTemperature", "-41"}, {"ChargerWatts", "0"}, {"ChargingWatts", "-3"}},
       "",
       nullptr},
      {{{"Trusted", "0"}, {"Charging", "1"}, {"ChargerWatts", "20"}, {"BatteryTemperature", "30"}},
       "",
       "Unlock and trust this computer, not attached"},
  };
  for (const auto& c : cases) {
    const DeviceEntry entry{"u", c.fields, std::nullopt};
    EXPECT_EQ(DeviceStatus::powerText(entry), c.power);
    if (c.summary) {
      EXPECT_EQ(DeviceStatus::summary(entry), c.summary) << c.power;
    }
  }
}

}  // namespace
}  // namespace nuvclient
