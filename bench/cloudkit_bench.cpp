// CloudKit backend: one battery save round trip (record handed over ->
// per-record completion) through CloudKitDatabase against the loopback fake
// server, and the client-side encode/decode of that save alone.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <vector>

#include "../tests/unit/cloud/FakeCloudKitServer.h"
#include "platform/linux/cloudkit/CloudKitContainer.h"
#include "platform/linux/cloudkit/CloudKitDatabase.h"

namespace {

using namespace nuv;
using namespace nuv::linux_backend;
namespace fs = std::filesystem;

void BM_CloudKitBatterySaveRoundTrip(benchmark::State& state) {
  // Arg 0: token files on tmpfs, where fsync is free: the client's own cost.
  // Arg 1: on the temporary directory's disk: what durable storage adds.
  const fs::path base =
      state.range(0) == 0 && fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
  const fs::path dir = base / ("nuv-ck-bench-" + std::to_string(getpid()));
  fs::remove_all(dir);
  nuv::testing::FakeCloudKitServer server(NUV_FAKE_CLOUDKIT);
  const std::string token = server.control("reset", {{"apiToken", "bench"}})["token"];
  server.control("seed",
                 {{"records",
                   {{{"recordName", "A1"},
                     {"fields", {{"Name", {{"value", "My Phone"}, {"type", "STRING"}}}}}}}}});
  CloudKitConfig config;
  config.backend = CloudKitConfig::Backend::CloudKit;
  config.apiToken = "bench";
  config.endpoint = server.endpoint();
  config.directory = dir.string();
  CloudKitTokenStore(config.tokenPath(), config.statePath(), config.lockPath()).writeToken(token);
  CloudKitDatabase db(std::make_shared<CloudKitClient>(config, "iCloud.vemo.voltaline.Voltaline"),
                      {"state", "done"});

  std::vector<double> samples;
  std::int64_t battery = 0;
  for (auto _ : state) {
    CloudRecordData data;
    data.recordType = "Todo";
    data.recordID = CloudRecordID{"A1"};
    data.recordChangeTag = "x";
    auto record = std::make_shared<CloudRecord>(std::move(data));
    record->setObjectForKey("Battery", std::int64_t{++battery % 100});
    record->setObjectForKey("state", CloudBool{battery % 2 == 0});
    auto op = std::make_shared<CloudModifyRecordsOperation>(std::vector<CloudRecordRef>{record});
    op->setSavePolicy(CloudRecordSavePolicy::ChangedKeys);
    std::promise<bool> done;
    op->setPerRecordCompletionBlock(
        [&](CloudRecordRef, std::optional<CloudError> error) { done.set_value(!error); });
    const auto start = std::chrono::steady_clock::now();
    db.addOperation(op);
    if (!done.get_future().get()) state.SkipWithError("save failed");
    samples.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(samples.begin(), samples.end());
  if (!samples.empty()) {
    state.counters["p50_ms"] = samples[samples.size() / 2];
    state.counters["p99_ms"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
  }
  fs::remove_all(dir);
}
BENCHMARK(BM_CloudKitBatterySaveRoundTrip)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1000)
    ->Unit(benchmark::kMillisecond);

void BM_CloudKitSaveEncodeDecode(benchmark::State& state) {
  CloudRecordData data;
  data.recordType = "Todo";
  data.recordID = CloudRecordID{"A1"};
  data.recordChangeTag = "x";
  data.fields = {
      {"Name", std::string("My Phone")}, {"Battery", std::int64_t{85}}, {"state", CloudBool{true}}};
  data.changedKeys = {"Battery", "state"};
  const std::string answer =
      R"({"records":[{"recordName":"A1","recordType":"Todo","recordChangeTag":"t2",)"
      R"("fields":{"Name":{"value":"My Phone","type":"STRING"},"Battery":{"value":85,"type":"INT64"},)"
      R"("state":{"value":1,"type":"INT64"}},"created":{"timestamp":1700000000000},)"
      R"("modified":{"timestamp":1700000000001}}]})";
  const std::set<std::string> booleans{"state", "done"};
  for (auto _ : state) {
    auto operation = CloudKitDatabase::saveOperationJson(data, CloudRecordSavePolicy::ChangedKeys,
                                                         CloudKitContainer::defaultFieldTypes());
    auto body = nlohmann::json{{"operations", nlohmann::json::array({*operation})}}.dump();
    auto parsed = nlohmann::json::parse(answer);
    auto record = CloudKitDatabase::recordFromJson(parsed["records"][0], booleans, "_defaultZone");
    benchmark::DoNotOptimize(body);
    benchmark::DoNotOptimize(record);
  }
}
BENCHMARK(BM_CloudKitSaveEncodeDecode);

}  // namespace
BENCHMARK_MAIN();
