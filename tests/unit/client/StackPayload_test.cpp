#include "client/StackPayload.h"

#include <gio/gio.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/linux/GlibHandles.h"

namespace nuvclient {
namespace {

using ::testing::HasSubstr;

nuv::glib::Variant parse(const char* text) {
  GError* raw = nullptr;
  GVariant* v = g_variant_parse(nullptr, text, nullptr, nullptr, &raw);
  nuv::glib::Error error(raw);
  EXPECT_NE(v, nullptr) << (error ? error->message : "");
  return nuv::glib::Variant(v ? g_variant_ref_sink(v) : nullptr);
}

TEST(StackPayload, DecodesTheBroadcastAsTheModuleSendsIt) {
  auto body = parse(
      "('iOSStack', '', {'b-udid': <{'Bonjour': <'b-udid'>, 'name': <'Phone B'>}>,"
      " 'a-udid': <{'Bonjour': <'a-udid'>, 'Battery': <'87'>, 'Host Attached': <'1'>,"
      " 'timestamp': <int64 1765000000123456>}>})");
  std::string error;
  auto payload = StackPayload::fromSignalBody(body.get(), &error);
  ASSERT_TRUE(payload) << error;
  ASSERT_EQ(payload->devices.size(), 2u);
  const auto& a = payload->devices[0];  // ordered by key
  EXPECT_EQ(a.key, "a-udid");
  EXPECT_EQ(*a.field("Battery"), "87");
  EXPECT_EQ(a.field("name"), nullptr);
  EXPECT_EQ(a.timestamp->microseconds(), 1765000000123456);
  EXPECT_EQ(a.fields.count("timestamp"), 0u);
  EXPECT_FALSE(payload->devices[1].timestamp);
}

TEST(StackPayload, DevicesPropertyDecodesLikeTheBroadcast) {
  std::string error;
  auto payload = StackPayload::fromDevices(
      parse("{'b': {'name': <'B'>}, 'a': {'Battery': <'5'>, 'timestamp': <int64 7>}}").get(),
      &error);
  ASSERT_TRUE(payload) << error;
  ASSERT_EQ(payload->devices.size(), 2u);
  EXPECT_EQ(payload->devices[0].key, "a");
  EXPECT_EQ(payload->devices[0].timestamp->microseconds(), 7);
  EXPECT_EQ(*payload->devices[1].field("name"), "B");
  EXPECT_TRUE(StackPayload::fromDevices(parse("@a{sa{sv}} {}").get(), &error));
}

// A broadcast body, or a Devices property value, and the reason it is refused.
TEST(StackPayload, MalformedPayloadsAreRefusedWithAReason) {
  struct Case {
    bool property;
    const char* text;
    const char* reason;
  };
  const Case cases[] = {
      {false, "('iOSStack', '')", "(ss)"},
      {false, "(42,)", "(i)"},
      {false, "('iOSStack', '', {'dev': <'not a dict'>})", "\"dev\" is not a dictionary"},
      {false, "('iOSStack', '', {'dev': <{'Battery': <int32 5>}>})", "unsupported type i"},
      {false, "('iOSStack', '', {'dev': <{'Battery': <true>}>})", "\"Battery\" is not a string"},
      {false, "('iOSStack', '', {'dev': <{'timestamp': <'today'>}>})",
       "\"timestamp\" is not a date"},
      {false, "('iOSStack', '', {'dev': <{'nested': <{'x': <'y'>}>}>})",
       "\"nested\" is not a string"},
      {false, "('iOSStack', '', {'dev': <[<'a'>]>})", "is not a dictionary"},
      {true, "{'a': <{'x': <'y'>}>}", "a{sv}"},  // the broadcast's form is not the property's
      {true, "{'a': {'Battery': <5>}}", "\"a\": "},
      {true, "{'a': {'timestamp': <'now'>}}", "\"timestamp\" is not a date"},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto v = parse(c.text);
    EXPECT_FALSE(c.property ? StackPayload::fromDevices(v.get(), &error)
                            : StackPayload::fromSignalBody(v.get(), &error))
        << c.text;
    EXPECT_THAT(error, HasSubstr(c.reason)) << c.text;
  }
  std::string error;
  EXPECT_FALSE(StackPayload::fromSignalBody(nullptr, &error));
  EXPECT_THAT(error, HasSubstr("none"));
  EXPECT_FALSE(StackPayload::fromDevices(nullptr, &error));
  // Deep nesting: VariantCodec's test.
}

}  // namespace
}  // namespace nuvclient
