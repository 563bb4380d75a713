#include "platform/linux/runtime/VariantCodec.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <cstring>

namespace nuv::linux_backend {
namespace {

struct Owned {
  explicit Owned(GVariant* v) : v(g_variant_ref_sink(v)) {}
  ~Owned() { g_variant_unref(v); }
  GVariant* v;
};

TEST(VariantCodec, WireTypesAndRoundTrip) {
  const Dictionary d{{"s", Value("text")},
                     {"b", Value(true)},
                     {"t", Value(Date::fromMicroseconds(1'780'000'000'123'456))},
                     {"d", Value(Dictionary{{"inner", Value("x")}})},
                     {"a", Value(Array{Value("1"), Value(false)})}};
  Owned v(toVariant(d));
  EXPECT_STREQ(g_variant_get_type_string(v.v), "a{sv}");
  Owned t(g_variant_lookup_value(v.v, "t", nullptr));
  EXPECT_STREQ(g_variant_get_type_string(t.v), "x");
  EXPECT_EQ(g_variant_get_int64(t.v), 1'780'000'000'123'456);
  EXPECT_EQ(dictionaryFromVariant(v.v), d);
}

TEST(VariantCodec, RejectsTypesOutsideTheContract) {
  std::string error;
  Owned notDict(g_variant_new("(s)", "x"));
  EXPECT_FALSE(dictionaryFromVariant(notDict.v, &error));
  EXPECT_NE(error.find("a{sv}"), std::string::npos);
  Owned withInt(g_variant_new_parsed("{'k': <int32 5>}"));
  EXPECT_FALSE(dictionaryFromVariant(withInt.v, &error));
  EXPECT_NE(error.find("\"k\""), std::string::npos);
  EXPECT_FALSE(dictionaryFromVariant(nullptr, &error));
}

TEST(VariantCodec, DeepNestingIsRefusedNotFollowed) {
  GVariant* v = g_variant_new_string("leaf");
  for (int i = 0; i < 200; ++i) v = g_variant_new_variant(v);
  Owned deep(v);
  std::string error;
  EXPECT_FALSE(fromVariant(deep.v, &error));
  EXPECT_EQ(error, "nesting too deep");
}

TEST(VariantCodec, InvalidUtf8IsRepairedInsteadOfBreakingTheMessage) {
  Owned v(toVariant(Dictionary{{"k\xff", Value(std::string("a\0b\xc3", 4))}}));
  ASSERT_TRUE(v.v);
  auto back = dictionaryFromVariant(v.v);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->size(), 1u);
  const auto& [key, value] = *back->begin();
  EXPECT_TRUE(g_utf8_validate(key.c_str(), -1, nullptr));
  EXPECT_EQ(value.get<std::string>()->substr(0, 1), "a");
}

// The host service's Devices and the "iOSStack" user info are one encoding:
// each device's a{sv} is the same bytes in both.
TEST(VariantCodec, DictionaryOfDictionariesCarriesTheSameEntryBytes) {
  const Dictionary entry{{"Bonjour", Value("abc")},
                         {"name", Value("Zoë")},
                         {"timestamp", Value(Date::fromMicroseconds(1'780'000'000'123'456))}};
  const Dictionary map{{"abc", Value(entry)}, {"def", Value(Dictionary{})}};
  Owned devices(toVariantOfDictionaries(map));
  Owned stack(toVariant(map));
  EXPECT_STREQ(g_variant_get_type_string(devices.v), "a{sa{sv}}");
  Owned fromDevices(g_variant_lookup_value(devices.v, "abc", G_VARIANT_TYPE("a{sv}")));
  Owned fromStack(g_variant_lookup_value(stack.v, "abc", G_VARIANT_TYPE("a{sv}")));
  ASSERT_EQ(g_variant_get_size(fromDevices.v), g_variant_get_size(fromStack.v));
  EXPECT_EQ(std::memcmp(g_variant_get_data(fromDevices.v), g_variant_get_data(fromStack.v),
                        g_variant_get_size(fromStack.v)),
            0);
  EXPECT_EQ(dictionaryOfDictionariesFromVariant(devices.v), map);

  // Values that are not dictionaries cannot travel as a{sa{sv}}.
  Owned mixed(toVariantOfDictionaries(Dictionary{{"x", Value("text")}, {"y", Value(entry)}}));
  EXPECT_EQ(g_variant_n_children(mixed.v), 1u);
  std::string error;
  EXPECT_FALSE(dictionaryOfDictionariesFromVariant(stack.v, &error));
  EXPECT_NE(error.find("a{sa{sv}}"), std::string::npos);
  Owned badInner(g_variant_new_parsed("{'k': {'n': <int32 5>}}"));
  EXPECT_FALSE(dictionaryOfDictionariesFromVariant(badInner.v, &error));
  EXPECT_NE(error.find("\"k\""), std::string::npos);
}

}  // namespace
}  // namespace nuv::linux_backend
