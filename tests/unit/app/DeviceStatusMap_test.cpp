#include "app/DeviceStatusMap.h"

#include <gtest/gtest.h>

namespace nuv {
namespace {

TEST(DeviceStatusMap, RoundTripsThroughDictionary) {
  DeviceStatusMap map;
  map["a"] = DeviceEntry{{{"Bonjour", "a"}, {"name", "A"}}, Date::fromMicroseconds(42)};
  map["b"] = DeviceEntry{{{"Bonjour", "b"}}, std::nullopt};
  const Dictionary d = toDictionary(map);
  ASSERT_TRUE(d.at("a").get<Dictionary>());
  EXPECT_EQ(*d.at("a").get<Dictionary>()->at("timestamp").get<Date>(), Date::fromMicroseconds(42));
  EXPECT_FALSE(d.at("b").get<Dictionary>()->count("timestamp"));
  EXPECT_EQ(deviceStatusMapFromDictionary(d), map);
}

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
