#include "platform/linux/cloudkit/CloudKitDatabase.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "FakeCloudKitServer.h"
#include "TempDir.h"
#include "cloud/TodoFetcher.h"
#include "platform/fake/FakeRunLoop.h"
#include "platform/linux/cloudkit/CloudKitContainer.h"

namespace nuv::linux_backend {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class Reports : public TodoFetcherDelegate {
 public:
  bool respondsTo(Message) const override { return true; }
  void todoFetcherDidUpdateTodos(TodoFetcher&) override {}
  void todoFetcherDidFailWithError(TodoFetcher&, const CloudError& e) override {
    errors.push_back(e);
  }
  std::vector<CloudError> errors;
};

class CloudKitDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_unique<testing::FakeCloudKitServer>(NUV_FAKE_CLOUDKIT);
    const std::string token = server->control("reset", {{"apiToken", "api+token/1="}})["token"];
    config.apiToken = "api+token/1=";
    config.endpoint = server->endpoint();
    config.directory = dir.string();
    CloudKitTokenStore(config.tokenPath(), config.statePath(), config.lockPath()).writeToken(token);
    start();
  }

  void start() {
    container = std::make_shared<CloudKitContainer>(TodoFetcher::kContainerIdentifier, config);
    fetcher = TodoFetcher::create(loop, container);
    reports = std::make_shared<Reports>();
    fetcher->setDelegate(reports);
  }

  // Stops the workers: nothing logs afterwards.
  void stopModule() {
    fetcher.reset();
    container.reset();
    loop.runUntilIdle();
  }

  void TearDown() override {
    stopModule();
    server.reset();
  }

  // Turns the main loop until `done`, for at most 10 s of real time.
  bool pump(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      loop.runUntilIdle();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

  void seed(int count) {
    json records = json::array();
    for (int i = 0; i < count; ++i) {
      records.push_back({{"recordName", "R" + std::to_string(i)},
                         {"fields", {{"Name", {{"value", "Dev"}, {"type", "STRING"}}}}}});
    }
    server->control("seed", {{"records", records}});
  }

  bool fetchAll() {
    bool done = false;
    fetcher->fetch([&](std::optional<CloudError>) { done = true; });
    return pump([&] { return done; });
  }

  std::vector<json> requests(const std::string& op) {
    std::vector<json> out;
    const json state = server->control("state");
    for (const auto& r : state["requests"]) {
      if (r["op"] == op) out.push_back(r["body"]);
    }
    return out;
  }

  // A fresh server state with `options`, still signed in.
  void resetServer(json options) {
    options["apiToken"] = config.apiToken;
    options["webAuthToken"] =
        CloudKitTokenStore(config.tokenPath(), config.statePath(), config.lockPath())
            .readToken()
            .value();
    server->control("reset", options);
  }

  test::TempDir tmp;
  const fs::path dir = tmp.path();
  fake::FakeRunLoop loop;
  std::unique_ptr<testing::FakeCloudKitServer> server;
  CloudKitConfig config;
  CloudContainerRef container;
  std::shared_ptr<TodoFetcher> fetcher;
  std::shared_ptr<Reports> reports;
};

TEST_F(CloudKitDatabaseTest, AContinuationMarkerThatComesBackFailsTheFetchInsteadOfLooping) {
  resetServer({{"repeatMarker", true}});
  seed(5);
  ASSERT_TRUE(fetchAll());
  ASSERT_EQ(reports->errors.size(), 1u);
  EXPECT_EQ(reports->errors[0].code, CloudErrorCode::InternalError);
  EXPECT_NE(reports->errors[0].message.find("continuation marker repeated"), std::string::npos);
  EXPECT_FALSE(fetcher->todos());  // no partial list stored
  EXPECT_EQ(requests("records/query").size(), 2u);
}

TEST_F(CloudKitDatabaseTest, ServerErrorsReachTheReportsWithCodeAndReasonAndTheWriteLands) {
  seed(2);
  ASSERT_TRUE(fetchAll());
  auto record = (*fetcher->todos())[0]->record();

  // A top-level THROTTLED with retryAfter, then for the retry a per-record
  // error inside an HTTP 200 answer.
  server->control("fail", {{"op", "records/modify"},
                           {"perRecord", true},
                           {"serverErrorCode", "CONFLICT"},
                           {"reason", "changed elsewhere"}});
  server->control("fail", {{"op", "records/modify"},
                           {"status", 429},
                           {"serverErrorCode", "THROTTLED"},
                           {"reason", "slow down"},
                           {"retryAfter", 3}});
  record->setObjectForKey("Battery", std::int64_t{50});
  fetcher->updateRecord(record);
  ASSERT_TRUE(pump([&] { return reports->errors.size() == 1; }));
  EXPECT_EQ(reports->errors[0].code, CloudErrorCode::RequestRateLimited);
  EXPECT_EQ(reports->errors[0].message, "THROTTLED: slow down");
  EXPECT_EQ(reports->errors[0].retryAfter, std::chrono::seconds(3));

  loop.advance(std::chrono::milliseconds(5000));
  ASSERT_TRUE(pump([&] { return reports->errors.size() == 2; }));
  EXPECT_EQ(reports->errors[1].code, CloudErrorCode::ServerRecordChanged);
  EXPECT_EQ(reports->errors[1].message, "CONFLICT: changed elsewhere");

  loop.advance(std::chrono::milliseconds(10000));
  ASSERT_TRUE(pump([&] { return fetcher->writeStatus().pendingCount == 0; }));
  EXPECT_EQ(server->control("state")["records"]["development"]["R0"]["fields"]["Battery"]["value"],
            50);

  // Settle: nothing else arrives, and each try cost exactly one request.
  static_cast<CloudKitDatabase&>(*container->privateCloudDatabase()).waitUntilIdle();
  loop.runUntilIdle();
  EXPECT_EQ(reports->errors.size(), 2u);
  EXPECT_EQ(requests("records/modify").size(), 3u);
}

TEST_F(CloudKitDatabaseTest, DeleteSubscribeTimeoutAndNoServer) {
  seed(2);
  ASSERT_TRUE(fetchAll());
  fetcher->remove((*fetcher->todos())[0]);
  ASSERT_TRUE(pump([&] { return fetcher->todos()->size() == 1; }));
  auto modifies = requests("records/modify");
  ASSERT_EQ(modifies.size(), 1u);
  EXPECT_EQ(modifies[0]["operations"][0]["operationType"], "forceDelete");
  EXPECT_FALSE(server->control("state")["records"]["development"].contains("R0"));

  // A record the server does not have: a per-record error.
  fetcher->remove(Todo::todoWithRecord(std::make_shared<CloudRecord>("Todo", CloudRecordID{"R0"})));
  fetcher->registerSubscriptions();
  static_cast<CloudKitDatabase&>(*container->privateCloudDatabase()).waitUntilIdle();
  loop.runUntilIdle();
  ASSERT_EQ(reports->errors.size(), 1u);
  EXPECT_EQ(reports->errors[0].code, CloudErrorCode::UnknownItem);
  const json subs = server->control("state")["subscriptions"];
  ASSERT_EQ(subs.size(), 1u);
  const auto& sub = subs.begin().value();
  EXPECT_EQ(sub["query"]["recordType"], "Todo");
  EXPECT_EQ(sub["firesOn"], json({"create", "update", "delete"}));

  // A server that does not answer in time: the request gives up.
  stopModule();
  resetServer({{"delay", 2.0}});
  config.timeoutMs = 300;
  start();
  const auto began = std::chrono::steady_clock::now();
  ASSERT_TRUE(fetchAll());
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(1500));
  ASSERT_EQ(reports->errors.size(), 1u);
  EXPECT_EQ(reports->errors[0].code, CloudErrorCode::NetworkFailure);

  // No server at all: the network is unavailable (a write retries on that).
  stopModule();
  server.reset();
  start();
  ASSERT_TRUE(fetchAll());
  EXPECT_EQ(reports->errors.at(0).code, CloudErrorCode::NetworkUnavailable);
}

}  // namespace
}  // namespace nuv::linux_backend
