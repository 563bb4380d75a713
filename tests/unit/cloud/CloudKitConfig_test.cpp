#include "platform/linux/cloudkit/CloudKitConfig.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "TempDir.h"
#include "platform/linux/cloudkit/CloudKitClient.h"
#include "platform/linux/cloudkit/CloudKitDatabase.h"
#include "platform/linux/cloudkit/CloudKitTokenStore.h"

namespace nuv::linux_backend {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class CloudKitFilesTest : public ::testing::Test {
 protected:
  void writeConfig(const std::string& text) { std::ofstream(dir / "cloud.conf") << text; }
  test::TempDir tmp;
  const fs::path dir = tmp.path();
};

TEST_F(CloudKitFilesTest, ConfigDefaultsToTheLocalBackendAndReadsEveryKey) {
  std::string error;
  EXPECT_EQ(CloudKitConfig::load(dir.string(), &error).backend, CloudKitConfig::Backend::Local);
  EXPECT_TRUE(error.empty());

  writeConfig(
      "[cloud]\nbackend=cloudkit\nenvironment=production\napi_token=abc\n"
      "endpoint=http://127.0.0.1:8080/\nconnect_timeout_ms=500\ntimeout_ms=900\n");
  auto config = CloudKitConfig::load(dir.string(), &error);
  EXPECT_TRUE(error.empty()) << error;
  EXPECT_EQ(config.backend, CloudKitConfig::Backend::CloudKit);
  EXPECT_EQ(config.environment, "production");
  EXPECT_EQ(config.apiToken, "abc");
  EXPECT_EQ(config.endpoint, "http://127.0.0.1:8080");
  EXPECT_EQ(config.connectTimeoutMs, 500);
  EXPECT_EQ(config.timeoutMs, 900);
  EXPECT_EQ(config.problem(), "");

  writeConfig("[cloud]\nbackend=icloud\ntimeout_ms=0\n");
  config = CloudKitConfig::load(dir.string(), &error);
  EXPECT_EQ(config.backend, CloudKitConfig::Backend::Unknown);
  EXPECT_NE(error.find("backend"), std::string::npos);
  EXPECT_NE(error.find("timeout_ms"), std::string::npos);
  EXPECT_EQ(config.timeoutMs, 30'000);
}

TEST_F(CloudKitFilesTest, PlainHttpIsAllowedOnlyToLoopback) {
  CloudKitConfig config;
  config.apiToken = "abc";
  for (const char* ok : {"https://api.apple-cloudkit.com", "http://127.0.0.1:1234",
                         "http://localhost", "http://[::1]:99/base"}) {
    config.endpoint = ok;
    EXPECT_EQ(config.problem(), "") << ok;
  }
  for (const char* bad :
       {"http://api.apple-cloudkit.com", "http://127.0.0.1.evil.example",
        "http://localhost@evil.example", "ftp://127.0.0.1", "https://", "https://host/?x=1"}) {
    config.endpoint = bad;
    EXPECT_NE(config.problem(), "") << bad;
  }
  config.endpoint = CloudKitConfig::kDefaultEndpoint;
  config.environment = "staging";
  EXPECT_NE(config.problem(), "");
  config.environment = "development";
  config.apiToken.clear();
  EXPECT_NE(config.problem(), "");
}

// Storing, rotating and removing the token: cloudkit_test.py.
TEST(CloudKitLoginTest, TokenIsTakenFromEitherCallbackFormOrBare) {
  using Store = CloudKitTokenStore;
  EXPECT_EQ(Store::tokenFromCallback("https://app.example/cb?x=1&ckWebAuthToken=ab%2Bc%2F%3D&y=2"),
            "ab+c/=");
  EXPECT_EQ(Store::tokenFromCallback("https://app.example/cb#ckSession=s+1%3D"), "s+1=");
  EXPECT_EQ(Store::tokenFromCallback("ckWebAuthToken=tok"), "tok");
  EXPECT_EQ(Store::tokenFromCallback("  bare+token/=\n"), "bare+token/=");
  // A longer parameter name ending in the same letters is not the token.
  EXPECT_EQ(Store::tokenFromCallback("https://a/cb?xckSession=no&ckSession=yes"), "yes");
  EXPECT_FALSE(Store::tokenFromCallback(""));
  EXPECT_FALSE(Store::tokenFromCallback("https://a/cb?ckWebAuthToken="));
  EXPECT_FALSE(Store::tokenFromCallback("two words"));
  EXPECT_FALSE(Store::tokenFromCallback("ckSession=a%0Ab"));
}

TEST(CloudKitWireTest, FieldsTravelTypedWithBooleansAsIntegersAndMilliseconds) {
  const std::pair<CloudFieldValue, json> written[] = {
      {std::string("x"), {{"value", "x"}, {"type", "STRING"}}},
      {std::int64_t{-7}, {{"value", -7}, {"type", "INT64"}}},
      {CloudBool{true}, {{"value", 1}, {"type", "INT64"}}},
      {Date::fromMicroseconds(1'500'999), {{"value", 1500}, {"type", "TIMESTAMP"}}},
      {Date::fromMicroseconds(-1), {{"value", -1}, {"type", "TIMESTAMP"}}}};
  for (const auto& [value, wire] : written) EXPECT_EQ(CloudKitDatabase::fieldToJson(value), wire);

  auto read = [](json j, bool b = false) { return CloudKitDatabase::fieldFromJson(j, b); };
  EXPECT_EQ(read({{"value", 1}, {"type", "INT64"}}, true), CloudFieldValue{CloudBool{true}});
  EXPECT_EQ(read({{"value", 1}, {"type", "INT64"}}), CloudFieldValue{std::int64_t{1}});
  EXPECT_EQ(read({{"value", 1500}, {"type", "TIMESTAMP"}}),
            CloudFieldValue{Date::fromMicroseconds(1'500'000)});
  EXPECT_FALSE(read({{"value", "1"}, {"type", "INT64"}}));
  EXPECT_FALSE(read({{"value", 1.5}, {"type", "DOUBLE"}}));
  EXPECT_FALSE(read({{"value", 1e300}, {"type", "TIMESTAMP"}}));
  EXPECT_FALSE(read({{"type", "STRING"}}));

  auto record =
      CloudKitDatabase::recordFromJson({{"recordName", "A"},
                                        {"recordType", "Todo"},
                                        {"recordChangeTag", "t1"},
                                        {"fields",
                                         {{"done", {{"value", 0}, {"type", "INT64"}}},
                                          {"pos", {{"value", {1, 2}}, {"type", "LOCATION"}}}}},
                                        {"created", {{"timestamp", 5}}},
                                        {"modified", {{"timestamp", 6}}}},
                                       {"done"}, "_defaultZone");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->fields.size(), 1u);
  EXPECT_EQ(record->fields.at("done"), CloudFieldValue{CloudBool{false}});
  EXPECT_EQ(record->creationDate, Date::fromMicroseconds(5000));
  EXPECT_EQ(record->modificationDate, Date::fromMicroseconds(6000));
  EXPECT_FALSE(CloudKitDatabase::recordFromJson({{"fields", json::object()}}, {}, "z"));
}

TEST(CloudKitWireTest, SavePoliciesBecomeDocumentedOperationsWithTypedFields) {
  CloudRecordData data;
  data.recordType = "Todo";
  data.recordID = CloudRecordID{"A"};
  data.fields = {{"Name", std::string("n")}, {"Battery", std::int64_t{3}}};
  data.changedKeys = {"Battery", "done"};  // "done" was removed from the record
  const CloudKitDatabase::FieldTypes types = {{"done", "INT64"}};
  const json battery = {{"value", 3}, {"type", "INT64"}};
  const json name = {{"value", "n"}, {"type", "STRING"}};
  const json removedDone = {{"value", nullptr}, {"type", "INT64"}};

  const json all = {{"Name", name}, {"Battery", battery}};
  const json changed = {{"Battery", battery}, {"done", removedDone}};
  const json allAndRemoved = {{"Name", name}, {"Battery", battery}, {"done", removedDone}};
  using P = CloudRecordSavePolicy;
  struct Case {
    std::optional<std::string> tag;
    CloudRecordSavePolicy policy;
    const char* operationType;
    json fields;
  };
  // Never saved: every field, whatever the policy. Saved: the changed keys,
  // a removed field as a typed null; all keys adds the rest, never forceReplace.
  const Case cases[] = {{std::nullopt, P::ChangedKeys, "forceUpdate", all},
                        {std::nullopt, P::AllKeys, "forceUpdate", all},
                        {std::nullopt, P::IfServerRecordUnchanged, "create", all},
                        {"t9", P::ChangedKeys, "forceUpdate", changed},
                        {"t9", P::IfServerRecordUnchanged, "update", changed},
                        {"t9", P::AllKeys, "forceUpdate", allAndRemoved}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operationType + std::string(c.tag ? " on a saved record" : " on a new one"));
    data.recordChangeTag = c.tag;
    auto op = CloudKitDatabase::saveOperationJson(data, c.policy, types);
    ASSERT_TRUE(op);
    EXPECT_EQ((*op)["operationType"], c.operationType);
    EXPECT_EQ((*op)["record"]["fields"], c.fields);
    EXPECT_EQ((*op)["record"].contains("recordChangeTag"),
              c.tag && c.policy == CloudRecordSavePolicy::IfServerRecordUnchanged);
  }

  // A removed field whose type nobody knows cannot be sent as the service wants it.
  data.recordChangeTag = "t9";
  std::string untyped;
  EXPECT_FALSE(
      CloudKitDatabase::saveOperationJson(data, CloudRecordSavePolicy::ChangedKeys, {}, &untyped));
  EXPECT_EQ(untyped, "done");
}

TEST(CloudKitWireTest, ServerErrorsKeepCodeAndReason) {
  auto e = CloudKitClient::errorFromServer({{"serverErrorCode", "QUOTA_EXCEEDED"}});
  EXPECT_EQ(e.code, CloudErrorCode::QuotaExceeded);
  EXPECT_FALSE(e.retryAfter);
  e = CloudKitClient::errorFromServer({{"serverErrorCode", "SOMETHING_NEW"}, {"reason", "?"}});
  EXPECT_EQ(e.code, CloudErrorCode::ServerRejectedRequest);
  EXPECT_EQ(e.message, "SOMETHING_NEW: ?");
  EXPECT_EQ(CloudKitClient::errorFromServer({{"serverErrorCode", "ZONE_BUSY"}}).code,
            CloudErrorCode::ZoneBusy);
  EXPECT_EQ(CloudKitClient::errorFromServer({{"serverErrorCode", "TRY_AGAIN_LATER"}}).code,
            CloudErrorCode::ServiceUnavailable);
  EXPECT_EQ(CloudKitClient::urlEncode("a+b/c=d e~"), "a%2Bb%2Fc%3Dd%20e~");
}

}  // namespace
}  // namespace nuv::linux_backend
