#include "ProbeReport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
#include <tuple>

#include "BatteryRegistryEntry.h"
#include "FakeDeviceFactsSource.h"
#include "PlistValues.h"
#include "ProbeRotation.h"
#include "TempDir.h"

namespace nuv {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

DeviceFacts trustedPhone() {
  DeviceFacts f;
  f.name = "My Phone";
  f.productType = "iPhone14,2";
  f.trusted = true;
  f.batteryLevel = 87;
  f.charging = true;
  f.externalConnected = true;
  f.fullyCharged = false;
  return f;
}

// Every fact of a trusted USB device, in order, is checked end to end by the
// probe's integration test; these are the cases a real device rarely shows.
// Exact output: one tab-separated pair per line, as the module parses it.
TEST(ProbeReportFormat, KeysValuesAndFraming) {
  auto network = trustedPhone();
  network.charging = false;
  network.health = BatteryHealth{0, 87};  // a cycle count of 0 is a value
  network.reading = BatteryReading{-3, 2701, 2380, 12, "usb\xFFhost", false, 2};
  auto unplugged = network;  // a reading kept from before it was unplugged
  unplugged.externalConnected = false;
  unplugged.health.reset();
  auto leaky = trustedPhone();
  leaky.trusted = false;  // a source that leaked battery facts anyway
  leaky.health = BatteryHealth{412, 87};
  leaky.reading = network.reading;
  DeviceFacts bare;
  bare.trusted = true;  // session worked, battery domain gave nothing
  DeviceFacts hostile;
  hostile.name = std::string("Bob\tBattery\t5\nBonjour\tevil\r\x01\x7F\0", 30);
  hostile.productType = "\xFF\xFEZoë’s iPad 😀\x80x\xE2\x82";
  struct Case {
    const char* what;
    DeviceCandidate device;
    DeviceFacts facts;
    const char* expected;
  };
  const Case cases[] = {
      {"network device: not host attached, zero flags, health keys",
       {"abc", DeviceConnection::Network},
       network,
       "Bonjour\tabc\nname\tMy Phone\nBattery\t87\nCharging\t0\nHost Attached\t0\n"
       "ProductType\tiPhone14,2\nExternalConnected\t1\nFullyCharged\t0\n"
       "BatteryCycleCount\t0\nBatteryMaxCapacity\t87\nBatteryTemperature\t-3\n"
       "BatteryDesignCapacity\t2701\nBatteryFullChargeCapacity\t2380\nChargerWatts\t12\n"
       "ChargerName\tusb\xEF\xBF\xBDhost\nChargerWireless\t0\nChargingWatts\t2\nTrusted\t1\n"},
      {"unplugged: no charger keys",
       {"abc", DeviceConnection::Usb},
       unplugged,
       "Bonjour\tabc\nname\tMy Phone\nBattery\t87\nCharging\t0\nHost Attached\t1\n"
       "ProductType\tiPhone14,2\nExternalConnected\t0\nFullyCharged\t0\nBatteryTemperature\t-3\n"
       "BatteryDesignCapacity\t2701\nBatteryFullChargeCapacity\t2380\nTrusted\t1\n"},
      {"untrusted: never battery facts",
       {"abc", DeviceConnection::Usb},
       leaky,
       "Bonjour\tabc\nname\tMy Phone\nHost Attached\t1\nProductType\tiPhone14,2\nTrusted\t0\n"},
      {"missing facts are left out, not printed empty",
       {"abc", DeviceConnection::Usb},
       bare,
       "Bonjour\tabc\nHost Attached\t1\nTrusted\t1\n"},
      {"a hostile name cannot break the line framing",
       {"u\nd\tid", DeviceConnection::Usb},
       hostile,
       "Bonjour\tu d id\nname\tBob Battery 5 Bonjour evil    \nHost Attached\t1\n"
       "ProductType\t\xEF\xBF\xBD\xEF\xBF\xBDZoë’s iPad 😀\xEF\xBF\xBDx\xEF\xBF\xBD\xEF\xBF\xBD\n"
       "Trusted\t0\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProbeReport::format(c.device, c.facts), c.expected) << c.what;
  }
}

// The relay's answer for an entry written "Key=1 BatteryData.Key=2 Key=text
// Key=true": "Dict.Key" in the dictionary Dict, a negative integer as
// libplist holds it (two's complement).
plistv::Plist answerOf(const std::string& properties) {
  plistv::Plist answer(plist_new_dict());
  plist_t entry = plist_new_dict();
  std::istringstream words(properties);
  for (std::string word; words >> word;) {
    std::string key = word.substr(0, word.find('=')), value = word.substr(key.size() + 1);
    plist_t into = entry;
    if (const auto dot = key.find('.'); dot != std::string::npos) {
      const std::string dict = key.substr(0, dot);
      if (!plist_dict_get_item(entry, dict.c_str()))
        plist_dict_set_item(entry, dict.c_str(), plist_new_dict());
      into = plist_dict_get_item(entry, dict.c_str());
      key.erase(0, dot + 1);
    }
    const bool number = !value.empty() && std::isdigit(value.back()) &&
                        value.find_first_not_of("-0123456789") == std::string::npos;
    plist_dict_set_item(into, key.c_str(),
                        number             ? plist_new_uint(std::stoll(value))
                        : value == "true"  ? plist_new_bool(1)
                        : value == "false" ? plist_new_bool(0)
                                           : plist_new_string(value.c_str()));
  }
  plist_dict_set_item(answer.get(), "IORegistry", entry);
  return answer;
}

TEST(BatteryRegistryEntry, CycleCountAndCapacityInPercentOfDesign) {
  const std::pair<const char*, std::optional<BatteryHealth>> cases[] = {
      {"CycleCount=412 NominalChargeCapacity=2706 AppleRawMaxCapacity=1 DesignCapacity=3110",
       BatteryHealth{412, 87}},  // the filtered capacity first; 87.01 %
      {"AppleRawMaxCapacity=2010 DesignCapacity=2000 MaxCapacity=100",
       BatteryHealth{std::nullopt, 101}},  // 100.5 % rounds up; above design is possible
      {"NominalChargeCapacity=0 AppleRawMaxCapacity=1710 BatteryData.CycleCount=7 "
       "BatteryData.DesignCapacity=1900",
       BatteryHealth{7, 90}},  // a zero reads as missing; BatteryData stands in
      {"CycleCount=0 AppleRawMaxCapacity=1710 DesignCapacity=0", BatteryHealth{0, std::nullopt}},
      {"CycleCount=x412 MaxCapacity=100", std::nullopt},
  };
  for (const auto& [properties, expected] : cases) {
    EXPECT_EQ(BatteryRegistryEntry::health(answerOf(properties).get()), expected) << properties;
  }
  EXPECT_EQ(BatteryRegistryEntry::percentOf(1, 201), 0);
  EXPECT_EQ(BatteryRegistryEntry::percentOf(INT64_MAX, INT64_MAX), std::nullopt);
}

// Rows: temperature, design and full-charge capacity, charger watts, name,
// wireless, charging watts. The real entry of a charging iPhone is read end
// to end by tools_test.py.
TEST(BatteryRegistryEntry, ReadingsOnlyWhereABatteryCouldShowThem) {
  constexpr auto no = std::nullopt;
  const std::string plugged = "ExternalConnected=true AdapterDetails.Watts=12 ";
  const std::pair<std::string, std::optional<BatteryReading>> cases[] = {
      {"Temperature=2879 DesignCapacity=2701 NominalChargeCapacity=2380 AppleRawMaxCapacity=2383 " +
           plugged + "AdapterDetails.Description=host Voltage=4270 InstantAmperage=428",
       BatteryReading{29, 2701, 2380, 12, "host", false, 2}},  // 1.83 W
      {"Temperature=-250 InstantAmperage=-1274 Voltage=4000 IsCharging=true " + plugged +
           "AdapterDetails.IsWireless=true",
       BatteryReading{-3, no, no, 12, no, true, no}},  // signed; a port that cannot keep up
      {"ExternalConnected=false AdapterDetails.Watts=12 AdapterDetails.Description=batt "
       "InstantAmperage=-500 Voltage=3900 Temperature=2500",
       BatteryReading{25, no, no, no, no, no, no}},  // discharging: no charger
      {"AppleRawMaxCapacity=1290 CurrentCapacity=1100 MaxCapacity=1300 "
       "BatteryData.DesignCapacity=1420 "
       "ExternalConnected=true AdapterDetails.IsWireless=0 AdapterDetails.Watts=0 Temperature=0",
       BatteryReading{no, 1420, 1290, no, no, false, no}},  // an old model, in mAh; zeros
      {"Temperature=10000 DesignCapacity=100000 NominalChargeCapacity=100001 " + plugged +
           "Voltage=100000 InstantAmperage=10000",
       BatteryReading{100, 100000, no, 12, no, false, 1000}},  // the bounds
      {"Temperature=10001 DesignCapacity=-3 ExternalConnected=true AdapterDetails.Watts=1001 "
       "Voltage=100000 InstantAmperage=10006",
       BatteryReading{no, no, no, no, no, false, no}},           // absurd
      {"Temperature=-4001 InstantAmperage=0 Voltage=4000", no},  // below the bounds, zero
      {"Temperature=hot Voltage=4.2 InstantAmperage=x ExternalConnected=true "
       "AdapterDetails.IsWireless=maybe AdapterDetails.Description=",
       no},  // garbled
      {"Temperature=-4000 DesignCapacity=0 ExternalConnected=1 AdapterDetails.Watts=12",
       BatteryReading{-40, no, no, no, no, no, no}},  // a flag as a number
  };
  for (const auto& [properties, expected] : cases) {
    EXPECT_EQ(BatteryRegistryEntry::reading(answerOf(properties).get()), expected) << properties;
  }
  for (const std::string& name : {std::string(64, 'n'), std::string("Zoë’s 20W")}) {
    EXPECT_EQ(BatteryRegistryEntry::chargerName(name), name);
  }
  for (const std::string& name : {std::string(65, 'n'), std::string("a\tb"), std::string("\x7F"),
                                  std::string("c1 \xC2\x85"), std::string()}) {
    EXPECT_EQ(BatteryRegistryEntry::chargerName(name), no) << name;
  }
}

using P = std::pair<std::string, DeviceConnection>;
constexpr auto kUsb = DeviceConnection::Usb;
constexpr auto kNet = DeviceConnection::Network;

std::vector<P> pairs(const std::vector<DeviceCandidate>& candidates) {
  std::vector<P> out;
  for (const auto& c : candidates) out.emplace_back(c.udid, c.connection);
  return out;
}

TEST(ProbeRotationOrder, NewFirstThenLeastRecentlyReportedTiesUsbFirst) {
  struct Case {
    const char* what;
    std::vector<DeviceCandidate> listed;
    std::vector<std::string> reported;  // oldest report first
    std::vector<P> expected;
  };
  const Case cases[] = {
      {"nothing reported yet: USB before network, then UDID; empty UDIDs dropped",
       {{"b", kNet}, {"c", kUsb}, {"", kUsb}, {"a", kNet}, {"b", kUsb}},
       {},
       {{"b", kUsb}, {"c", kUsb}, {"a", kNet}, {"b", kNet}}},
      {"a new device before every reported one, even over the network",
       {{"old", kUsb}, {"new", kNet}},
       {"old"},
       {{"new", kNet}, {"old", kUsb}}},
      {"then the one reported longest ago, whatever its UDID or connection",
       {{"a", kUsb}, {"b", kUsb}, {"c", kNet}},
       {"c", "a", "b"},
       {{"c", kNet}, {"a", kUsb}, {"b", kUsb}}},
      {"one device on USB and network: equally due, USB first",
       {{"a", kNet}, {"b", kUsb}, {"a", kUsb}},
       {"b", "a"},
       {{"b", kUsb}, {"a", kUsb}, {"a", kNet}}},
      {"remembered devices that are gone change nothing",
       {{"a", kUsb}, {"b", kUsb}},
       {"gone", "b", "a"},
       {{"b", kUsb}, {"a", kUsb}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pairs(ProbeRotation::order(c.listed, c.reported)), c.expected) << c.what;
  }
}

struct Run {
  int status;
  std::string out, err;
};
Run run(DeviceFactsSource& source, const ProbeReport::Memory& memory) {
  std::ostringstream out, err;
  const int status = ProbeReport::run(source, memory, out, err);
  return {status, out.str(), err.str()};
}

std::string bonjourOf(const Run& r) {
  const auto end = r.out.find('\n');
  return r.out.rfind("Bonjour\t", 0) == 0 ? r.out.substr(8, end - 8) : "";
}

class ProbeReportRun : public ::testing::Test {
 protected:
  test::TempDir root;
  fake::FakeDeviceFactsSource source;
  RotationState state{root.path() + "/state"};
};

TEST_F(ProbeReportRun, ThreeDevicesThreeRunsThenANewDeviceAtTheNextRun) {
  for (const char* udid : {"ccc", "aaa", "bbb"}) source.add({udid, kUsb}, trustedPhone());
  std::vector<std::string> seen;
  for (int i = 0; i < 3; ++i) {
    const auto r = run(source, {&state});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, ProbeReport::format({bonjourOf(r), kUsb}, trustedPhone()));
    seen.push_back(bonjourOf(r));
  }
  EXPECT_THAT(seen, ElementsAre("aaa", "bbb", "ccc"));
  EXPECT_EQ(bonjourOf(run(source, {&state})), "aaa");  // round again

  source.add({"new", kNet}, trustedPhone());
  EXPECT_EQ(bonjourOf(run(source, {&state})), "new");
  EXPECT_EQ(bonjourOf(run(source, {&state})), "bbb");

  // Detached and attached again: new once more.
  source.remove("aaa");
  EXPECT_EQ(bonjourOf(run(source, {&state})), "ccc");
  source.add({"aaa", kUsb}, trustedPhone());
  EXPECT_EQ(bonjourOf(run(source, {&state})), "aaa");
}

TEST_F(ProbeReportRun, UnreadableDevicesAreSkippedAndStayFirstInLine) {
  source.add({"aaa", kUsb}, std::string("cannot talk to lockdown"));
  source.add({"bbb", kUsb}, trustedPhone());
  source.add({"ccc", kNet}, trustedPhone());
  auto r = run(source, {&state});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "devInfo.NUVModule: aaa (USB): cannot talk to lockdown\n");
  EXPECT_EQ(bonjourOf(r), "bbb");
  EXPECT_EQ(bonjourOf(run(source, {&state})), "ccc");
  EXPECT_EQ(bonjourOf(run(source, {&state})), "bbb");
  EXPECT_THAT(source.read, ElementsAre("aaa", "bbb", "aaa", "ccc", "aaa", "bbb"));
}

// No usbmuxd (status 69) and no device (status 0, nothing printed): tools_test.py.
TEST_F(ProbeReportRun, WithoutAPlaceForItsMemoryTheProbeReportsInFirstRunOrder) {
  source.add({"bbb", kUsb}, trustedPhone());
  source.add({"aaa", kUsb}, trustedPhone());
  EXPECT_EQ(bonjourOf(run(source, {})), "aaa");
  EXPECT_EQ(bonjourOf(run(source, {})), "aaa");
}

TEST_F(ProbeReportRun, HealthAskedOnceADayAndPrintedFromTheStateBetween) {
  BatteryHealthState health(root.path() + "/state");
  constexpr std::int64_t t0 = 1765000000, day = BatteryHealthState::kAskInterval;
  health.update([&](auto) {
    return BatteryHealthRecords{{"gone", {t0 - day, {}}}, {"away", {t0, {}}}};
  });
  // (time of the run, the device answers, it is asked)
  const std::tuple<std::int64_t, bool, bool> runs[] = {
      {t0, true, true},
      {t0 + day - 1, true, false},
      {t0 + day, true, true},
      {t0 + day - 10, true, true},  // clock set back
      {t0 + 2 * day, false, true},  // no answer: the kept values stay
      {t0 + 2 * day + 1, false, false}};
  for (const auto& [at, answers, asked] : runs) {
    auto phone = trustedPhone();
    if (answers) phone.health = BatteryHealth{412, 87};
    source.remove("aaa");
    source.add({"aaa", kUsb}, phone);
    source.asked.clear();
    EXPECT_THAT(run(source, {nullptr, &health, at}).out,
                HasSubstr("BatteryCycleCount\t412\nBatteryMaxCapacity\t87\n"))
        << at;
    EXPECT_EQ(source.asked.size(), asked ? 1u : 0u) << at;
    if (at == t0) {  // an ask forgets the devices gone for a day, not the others
      EXPECT_EQ(health.load().count("gone"), 0u);
      EXPECT_EQ(health.load().count("away"), 1u);
    }
  }
}

// One relay ask serves whatever is due; what was not due comes from the
// records, the health's unchanged by a reading's ask.
TEST_F(ProbeReportRun, ReadingAskedOnceAMinuteOnPowerElseOnceInFifteenMinutes) {
  BatteryHealthState health(root.path() + "/state");
  BatteryReadingState reading(root.path() + "/state");
  constexpr std::int64_t t0 = 1765000000;
  // (time of the run, on external power, the temperature the device gives
  // (0: none), it is asked, the temperature printed)
  const std::tuple<std::int64_t, bool, int, bool, const char*> runs[] = {
      {t0, true, 30, true, "30"},  // health and reading, one ask
      {t0 + 59, true, 31, false, "30"},
      {t0 + 60, true, 31, true, "31"},
      {t0 + 60 + 899, false, 32, false, "31"},
      {t0 + 60 + 900, false, 32, true, "32"},
      {t0 + 960 + 60, true, 0, true, nullptr},  // asked, no answer: no reading kept
      {t0 + 960 + 61, true, 33, false, nullptr},
      {t0 + 960, true, 33, true, "33"}};  // clock set back
  int i = 0;
  for (const auto& [at, power, temperature, asked, printed] : runs) {
    auto phone = trustedPhone();
    phone.externalConnected = power;
    phone.health = BatteryHealth{400 + i++, 87};
    if (temperature) phone.reading = BatteryReading{temperature, {}, {}, {}, "pd 20W", {}, {}};
    source.remove("aaa");
    source.add({"aaa", kUsb}, phone);
    source.asked.clear();
    const auto out = run(source, {nullptr, &health, at, &reading}).out;
    EXPECT_EQ(source.asked.size(), asked ? 1u : 0u) << at;
    EXPECT_THAT(out, HasSubstr("BatteryCycleCount\t400\n")) << at;
    EXPECT_EQ(out.find("BatteryTemperature"),
              printed ? out.find(std::string("BatteryTemperature\t") + printed + "\n")
                      : std::string::npos)
        << out;
    EXPECT_EQ(out.find("ChargerName\tpd 20W\n") != std::string::npos, printed && power) << out;
  }
}

// Nothing readable (status 1, reason on stderr only) is covered by
// tests/integration/tools_test.py.

}  // namespace
}  // namespace nuv
