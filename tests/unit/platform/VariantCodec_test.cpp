#include "platform/linux/bus/VariantCodec.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/linux/GlibHandles.h"

namespace nuv::linux_backend {
namespace {

glib::Variant owned(GVariant* v) { return glib::Variant(g_variant_ref_sink(v)); }

TEST(VariantCodec, WireTypesAndRoundTripsOfADictionaryAndOfADictionaryOfDictionaries) {
  const Dictionary d{{"s", Value("text")},
                     {"b", Value(true)},
                     {"t", Value(Date::fromMicroseconds(1'780'000'000'123'456))},
                     {"d", Value(Dictionary{{"inner", Value("x")}})},
                     {"a", Value(Array{Value("1"), Value(false)})}};
  const auto v = owned(toVariant(d));
  EXPECT_STREQ(g_variant_get_type_string(v.get()), "a{sv}");
  const auto t = owned(g_variant_lookup_value(v.get(), "t", nullptr));
  EXPECT_STREQ(g_variant_get_type_string(t.get()), "x");
  EXPECT_EQ(g_variant_get_int64(t.get()), 1'780'000'000'123'456);
  EXPECT_EQ(dictionaryFromVariant(v.get()), d);

  // The Devices property: a dictionary of dictionaries, and no other shape.
  const Dictionary entry{{"Bonjour", Value("abc")},
                         {"name", Value("Zoë")},
                         {"timestamp", Value(Date::fromMicroseconds(1'780'000'000'123'456))}};
  const Dictionary map{{"abc", Value(entry)}, {"def", Value(Dictionary{})}};
  const auto devices = owned(toVariantOfDictionaries(map));
  const auto stack = owned(toVariant(map));
  EXPECT_STREQ(g_variant_get_type_string(devices.get()), "a{sa{sv}}");
  EXPECT_EQ(dictionaryOfDictionariesFromVariant(devices.get()), map);

  // Values that are not dictionaries cannot travel as a{sa{sv}}.
  const auto mixed =
      owned(toVariantOfDictionaries(Dictionary{{"x", Value("text")}, {"y", Value(entry)}}));
  EXPECT_EQ(g_variant_n_children(mixed.get()), 1u);
  std::string error;
  EXPECT_FALSE(dictionaryOfDictionariesFromVariant(stack.get(), &error));
  EXPECT_NE(error.find("a{sa{sv}}"), std::string::npos);
  const auto badInner = owned(g_variant_new_parsed("{'k': {'n': <int32 5>}}"));
  EXPECT_FALSE(dictionaryOfDictionariesFromVariant(badInner.get(), &error));
  EXPECT_NE(error.find("\"k\""), std::string::npos);
}

TEST(VariantCodec, RejectsTypesOutsideTheContractAndDeepNesting) {
  std::string error;
  const auto notDict = owned(g_variant_new("(s)", "x"));
  EXPECT_FALSE(dictionaryFromVariant(notDict.get(), &error));
  EXPECT_NE(error.find("a{sv}"), std::string::npos);
  const auto withInt = owned(g_variant_new_parsed("{'k': <int32 5>}"));
  EXPECT_FALSE(dictionaryFromVariant(withInt.get(), &error));
  EXPECT_NE(error.find("\"k\""), std::string::npos);
  EXPECT_FALSE(dictionaryFromVariant(nullptr, &error));
  GVariant* v = g_variant_new_string("leaf");
  for (int i = 0; i < 200; ++i) v = g_variant_new_variant(v);
  const auto deep = owned(v);
  EXPECT_FALSE(fromVariant(deep.get(), &error));
  EXPECT_EQ(error, "nesting too deep");
}

TEST(VariantCodec, InvalidUtf8IsRepairedInsteadOfBreakingTheMessage) {
  const auto v = owned(toVariant(Dictionary{{"k\xff", Value(std::string("a\0b\xc3", 4))}}));
  ASSERT_TRUE(v.get());
  auto back = dictionaryFromVariant(v.get());
  ASSERT_TRUE(back);
  ASSERT_EQ(back->size(), 1u);
  const auto& [key, value] = *back->begin();
  EXPECT_TRUE(g_utf8_validate(key.c_str(), -1, nullptr));
  EXPECT_EQ(value.get<std::string>()->substr(0, 1), "a");
}

std::string serialised(GVariant* v) {
  const gsize size = g_variant_get_size(v);
  return size ? std::string(static_cast<const char*>(g_variant_get_data(v)), size) : std::string();
}

// Encoding a sequence of maps with the entries of the previous one gives the
// bytes of a fresh encoding every time, and builds only what changed.
TEST(VariantCodec, ReusedEntriesGiveTheSameBytesAsAFreshEncoding) {
  const Dictionary a{{"name", Value("A")}, {"Battery", Value("85")}};
  const Dictionary b{{"name", Value("B")}};
  const Dictionary a84{{"name", Value("A")}, {"Battery", Value("84")}};
  const Dictionary stamped{{"name", Value("B")}, {"timestamp", Value(Date::fromMicroseconds(7))}};
  struct Step {
    const char* what;
    Dictionary map;
    std::vector<std::string> reused;  // keys whose a{sv} is the previous step's
  };
  const std::vector<Step> steps = {
      {"first", {{"a", Value(a)}}, {}},
      {"added", {{"a", Value(a)}, {"b", Value(b)}}, {"a"}},
      {"changed", {{"a", Value(a84)}, {"b", Value(b)}}, {"b"}},
      {"same", {{"a", Value(a84)}, {"b", Value(b)}}, {"a", "b"}},
      {"removed and back", {{"a", Value(a)}}, {}},
      {"not a dictionary", {{"a", Value(a)}, {"x", Value("text")}, {"b", Value(stamped)}}, {"a"}},
      {"empty", {}, {}},
  };
  EncodedEntries previous;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    const EncodedEntries before = previous;
    const auto cached = owned(toVariantOfDictionaries(step.map, previous));
    const auto fresh = owned(toVariantOfDictionaries(step.map));
    EXPECT_EQ(serialised(cached.get()), serialised(fresh.get()));
    std::vector<std::string> keys, reused;
    for (const auto& [key, entry] : previous) {
      keys.push_back(key);
      auto old = before.find(key);
      if (old != before.end() && old->second.second == entry.second) reused.push_back(key);
    }
    EXPECT_EQ(reused, step.reused);
    EXPECT_EQ(keys.size(), g_variant_n_children(fresh.get()));
  }
}

}  // namespace
}  // namespace nuv::linux_backend
