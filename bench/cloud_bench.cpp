// Cloud records: the update bridge over a large list, a merge into a large
// list, and one save round trip on the embedded database.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "app/CloudRecordBridge.h"
#include "cloud/TodoFetcher.h"
#include "platform/fake/FakeCloudDatabase.h"
#include "platform/fake/FakeRunLoop.h"
#include "platform/linux/sqlite/SqliteCloudDatabase.h"

namespace {

using namespace nuv;

// Takes the hand-over snapshot as every backend does, then drops the work.
class DiscardingDatabase : public CloudDatabase {
 public:
  CloudDatabaseScope databaseScope() const override { return CloudDatabaseScope::Private; }
  void performQuery(const CloudQuery&, std::optional<std::string>, QueryCompletion) override {}
  void saveSubscription(const CloudQuerySubscription&, SubscriptionCompletion) override {}
  void addOperation(std::shared_ptr<CloudModifyRecordsOperation> op) override {
    for (const auto& r : op->recordsToSave()) benchmark::DoNotOptimize(r->snapshot());
  }
  void deleteRecordWithID(const CloudRecordID&, DeleteCompletion) override {}
};

class DiscardingContainer : public CloudContainer {
 public:
  std::string containerIdentifier() const override { return "bench"; }
  CloudDatabaseRef privateCloudDatabase() override { return db_; }

 private:
  CloudDatabaseRef db_ = std::make_shared<DiscardingDatabase>();
};

CloudRecordRef makeRecord(int i, std::int64_t modifiedUs) {
  CloudRecordData d;
  d.recordType = "Todo";
  d.recordID = CloudRecordID{"R" + std::to_string(i)};
  d.fields = {{"Name", "Device " + std::to_string(i)}, {"title", std::string("t")}};
  d.modificationDate = Date::fromMicroseconds(modifiedUs);
  return std::make_shared<CloudRecord>(std::move(d));
}

// Fills the store's list with n todos through a merge.
void load(TodoFetcher& fetcher, fake::FakeRunLoop& loop, int n) {
  TodoFetcher::TodoList todos;
  for (int i = 0; i < n; ++i) todos.push_back(Todo::todoWithRecord(makeRecord(i, 1'000'000 + i)));
  fetcher.mergeTodoArrayWithArray(std::move(todos));
  loop.runUntilIdle();
}

void BM_BridgeUpdate(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  fake::FakeRunLoop loop;
  auto fetcher = TodoFetcher::create(loop, std::make_shared<DiscardingContainer>());
  load(*fetcher, loop, n);
  // The match is the last todo: the whole list is walked.
  const std::map<std::string, std::string> entry = {
      {"name", "Device " + std::to_string(n - 1)}, {"Battery", "85"}, {"Charging", "1"}};
  for (auto _ : state) {
    benchmark::DoNotOptimize(CloudRecordBridge::updateRecord(entry, *fetcher));
  }
}
BENCHMARK(BM_BridgeUpdate)->Arg(10'000)->Unit(benchmark::kMicrosecond);

void BM_MergeOneInto(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  fake::FakeRunLoop loop;
  auto fetcher = TodoFetcher::create(loop, std::make_shared<DiscardingContainer>());
  load(*fetcher, loop, n);
  std::int64_t modified = 10'000'000;
  int i = 0;
  for (auto _ : state) {
    // A saved record coming back: replaces its todo and becomes the newest.
    fetcher->mergeTodoArrayWithArray({Todo::todoWithRecord(makeRecord(i++ % n, ++modified))});
    loop.runUntilIdle();
  }
  if (fetcher->todos()->size() != static_cast<std::size_t>(n)) state.SkipWithError("list size");
}
BENCHMARK(BM_MergeOneInto)->Arg(10'000)->Unit(benchmark::kMicrosecond);

void BM_SqliteSaveRoundTrip(benchmark::State& state) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("nuv-bench-" + std::to_string(getpid()));
  fs::remove_all(dir);
  std::vector<double> micros;
  {
    linux_backend::SqliteCloudDatabase db((dir / "bench.sqlite").string());
    auto record = std::make_shared<CloudRecord>("Todo", CloudRecordID{"A"});
    record->setObjectForKey("Name", std::string("My Phone"));
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::int64_t battery = 0;
    for (auto _ : state) {
      const auto start = std::chrono::steady_clock::now();
      record->setObjectForKey("Battery", ++battery);
      auto op = std::make_shared<CloudModifyRecordsOperation>(std::vector<CloudRecordRef>{record});
      op->setSavePolicy(CloudRecordSavePolicy::ChangedKeys);
      op->setPerRecordCompletionBlock([&](CloudRecordRef, std::optional<CloudError> e) {
        if (e) state.SkipWithError(e->message.c_str());
        std::lock_guard lock(m);
        done = true;
        cv.notify_one();
      });
      db.addOperation(op);
      std::unique_lock lock(m);
      cv.wait(lock, [&] { return done; });
      done = false;
      micros.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count());
    }
  }
  fs::remove_all(dir);
  std::sort(micros.begin(), micros.end());
  if (!micros.empty()) {
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    state.counters["max_us"] = micros.back();
  }
}
BENCHMARK(BM_SqliteSaveRoundTrip)->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
