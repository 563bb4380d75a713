#include "platform/linux/bus/VariantCodec.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(VariantCodec, RejectsTypesOutsideTheContractAndDeepNesting) {
  std::string error;
  Owned notDict(g_variant_new("(s)", "x"));
  EXPECT_FALSE(dictionaryFromVariant(notDict.v, &error));
  EXPECT_NE(error.find("a{sv}"), std::string::npos);
  Owned withInt(g_variant_new_parsed("{'k': <int32 5>}"));
  EXPECT_FALSE(dictionaryFromVariant(withInt.v, &error));
  EXPECT_NE(error.find("\"k\""), std::string::npos);
  EXPECT_FALSE(dictionaryFromVariant(nullptr, &error));
  GVariant* v = g_variant_new_string("leaf");
  for (int i = 0; i < 200; ++i) v = g_variant_new_variant(v);
  Owned deep(v);
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

TEST(VariantCodec, DictionaryOfDictionariesRoundTripsAndRefusesOtherShapes) {
  const Dictionary entry{{"Bonjour", Value("abc")},
                         {"name", Value("Zoë")},
                         {"timestamp", Value(Date::fromMicroseconds(1'780'000'000'123'456))}};
  const Dictionary map{{"abc", Value(entry)}, {"def", Value(Dictionary{})}};
  Owned devices(toVariantOfDictionaries(map));
  Owned stack(toVariant(map));
  EXPECT_STREQ(g_variant_get_type_string(devices.v), "a{sa{sv}}");
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
    Owned cached(toVariantOfDictionaries(step.map, previous));
    Owned fresh(toVariantOfDictionaries(step.map));
    EXPECT_EQ(serialised(cached.v), serialised(fresh.v));
    std::vector<std::string> keys, reused;
    for (const auto& [key, entry] : previous) {
      keys.push_back(key);
      auto old = before.find(key);
      if (old != before.end() && old->second.second == entry.second) reused.push_back(key);
    }
    EXPECT_EQ(reused, step.reused);
    EXPECT_EQ(keys.size(), g_variant_n_children(fresh.v));
  }
}

}  // namespace
}  // namespace nuv::linux_backend
