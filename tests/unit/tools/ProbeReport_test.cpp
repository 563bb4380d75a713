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
  auto leaky = trustedPhone();
  leaky.trusted = false;  // a source that leaked battery facts anyway
  leaky.health = BatteryHealth{412, 87};
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
       "BatteryCycleCount\t0\nBatteryMaxCapacity\t87\nTrusted\t1\n"},
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

// The relay's answer for an entry written "Key=1 BatteryData.Key=2 Key=text".
std::optional<BatteryHealth> healthOf(const std::string& properties) {
  plistv::Plist answer(plist_new_dict());
  plist_t entry = plist_new_dict(), data = plist_new_dict();
  std::istringstream words(properties);
  for (std::string word; words >> word;) {
    std::string key = word.substr(0, word.find('=')), value = word.substr(key.size() + 1);
    const plist_t into = key.rfind("BatteryData.", 0) == 0 ? (key.erase(0, 12), data) : entry;
    plist_dict_set_item(into, key.c_str(),
                        std::isdigit(value[0]) ? plist_new_uint(std::stoull(value))
                                               : plist_new_string(value.c_str()));
  }
  plist_dict_set_item(entry, "BatteryData", data);
  plist_dict_set_item(answer.get(), "IORegistry", entry);
  return BatteryRegistryEntry::health(answer.get());
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
    EXPECT_EQ(healthOf(properties), expected) << properties;
  }
  EXPECT_EQ(BatteryRegistryEntry::percentOf(1, 201), 0);
  EXPECT_EQ(BatteryRegistryEntry::percentOf(INT64_MAX, INT64_MAX), std::nullopt);
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

// Nothing readable (status 1, reason on stderr only) is covered by
// tests/integration/tools_test.py.

}  // namespace
}  // namespace nuv
