#include "app/DeviceStatusMap.h"

#include <gtest/gtest.h>

namespace nuv {
namespace {

// The round trip through the saved dictionary is checked by SleepWake_test.
TEST(DeviceStatusMap, ForeignContentIsDroppedNotTrusted) {
  Dictionary d;
  d["notadict"] = Value("x");
  d["mismatch"] = Value(Dictionary{{"Bonjour", Value("other")}});
  d["ok"] = Value(Dictionary{{"Bonjour", Value("ok")}, {"flag", Value(true)}});
  const auto map = deviceStatusMapFromDictionary(d);
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.at("ok").pairs, (ProbeOutput{{"Bonjour", "ok"}}));
}

}  // namespace
}  // namespace nuv
