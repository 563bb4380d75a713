#include "ProbeReport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "FakeDeviceFactsSource.h"

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
  auto leaky = trustedPhone();
  leaky.trusted = false;  // a source that leaked battery facts anyway
  DeviceFacts bare;
  bare.trusted = true;  // session worked, battery domain gave nothing
  DeviceFacts hostile;
  hostile.name = "Bob\tBattery\t5\nBonjour\tevil\r\x01\x7F";
  hostile.productType = "\xFF\xFEiPad";
  struct Case {
    const char* what;
    DeviceCandidate device;
    DeviceFacts facts;
    const char* expected;
  };
  const Case cases[] = {
      {"network device: not host attached, zero flags",
       {"abc", DeviceConnection::Network},
       network,
       "Bonjour\tabc\nname\tMy Phone\nBattery\t87\nCharging\t0\nHost Attached\t0\n"
       "ProductType\tiPhone14,2\nExternalConnected\t1\nFullyCharged\t0\nTrusted\t1\n"},
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
       "Bonjour\tu d id\nname\tBob Battery 5 Bonjour evil   \nHost Attached\t1\n"
       "ProductType\t\xEF\xBF\xBD\xEF\xBF\xBDiPad\nTrusted\t0\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProbeReport::format(c.device, c.facts), c.expected) << c.what;
  }
}

TEST(ProbeReportSanitize, KeepsValidUtf8AndReplacesEachBadByte) {
  EXPECT_EQ(ProbeReport::sanitize("Zoë’s iPhone 😀"), "Zoë’s iPhone 😀");
  EXPECT_EQ(ProbeReport::sanitize(std::string("a\0b", 3)), "a b");
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(ProbeReport::sanitize("\xC3"), r);                               // truncated
  EXPECT_EQ(ProbeReport::sanitize("\x80x"), r + "x");                        // stray continuation
  EXPECT_EQ(ProbeReport::sanitize("\xC0\xAF"), r + r);                       // overlong '/'
  EXPECT_EQ(ProbeReport::sanitize("\xE0\x80\xAF"), r + r + r);               // overlong 3-byte
  EXPECT_EQ(ProbeReport::sanitize("\xED\xA0\x80"), r + r + r);               // surrogate
  EXPECT_EQ(ProbeReport::sanitize("\xF4\x90\x80\x80"), r + r + r + r);       // > U+10FFFF
  EXPECT_EQ(ProbeReport::sanitize("\xF4\x8F\xBF\xBF"), "\xF4\x8F\xBF\xBF");  // U+10FFFF
  EXPECT_EQ(ProbeReport::sanitize("\xE2\x82"), r + r);                       // cut short at the end
}

TEST(ProbeReportOrder, UsbFirstThenLowestUdidAndEmptyUdidsDropped) {
  const auto order = ProbeReport::probeOrder({{"b", DeviceConnection::Network},
                                              {"c", DeviceConnection::Usb},
                                              {"", DeviceConnection::Usb},
                                              {"a", DeviceConnection::Network},
                                              {"b", DeviceConnection::Usb}});
  using P = std::pair<std::string, DeviceConnection>;
  std::vector<P> got;
  for (const auto& c : order) got.emplace_back(c.udid, c.connection);
  EXPECT_THAT(got,
              ElementsAre(P{"b", DeviceConnection::Usb}, P{"c", DeviceConnection::Usb},
                          P{"a", DeviceConnection::Network}, P{"b", DeviceConnection::Network}));
}

struct Run {
  int status;
  std::string out, err;
};
Run run(DeviceFactsSource& source) {
  std::ostringstream out, err;
  const int status = ProbeReport::run(source, out, err);
  return {status, out.str(), err.str()};
}

TEST(ProbeReportRun, ReportsOneDeviceTheFirstReadableInProbeOrder) {
  fake::FakeDeviceFactsSource source;
  auto other = trustedPhone();
  other.name = "Network iPad";
  source.add({"aaa", DeviceConnection::Network}, other);
  source.add({"zzz", DeviceConnection::Usb}, trustedPhone());
  source.add({"aaa", DeviceConnection::Usb}, std::string("cannot talk to lockdown"));
  const auto r = run(source);
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("aaa (USB): cannot talk to lockdown"));
  EXPECT_EQ(r.out, ProbeReport::format({"zzz", DeviceConnection::Usb}, trustedPhone()));
  EXPECT_THAT(source.read, ElementsAre("aaa", "zzz"));
}

// Nothing readable (status 1, reason on stderr only) is covered by
// tests/integration/tools_test.py.

}  // namespace
}  // namespace nuv
