// Battery history: what a broadcast costs the main loop while the worker
// writes (per-call p99; the entry carries health values, so the day's health
// check is in it), reading 7 days of one device changing every minute and
// five years of its daily health rows through the store (worker and
// hand-over to the loop), and the size of the file for 90 days of 5 such
// devices (--days 1 in the smoke run).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/HistoryRecorder.h"
#include "platform/fake/FakeRunLoop.h"
#include "platform/linux/bus/VariantCodec.h"
#include "platform/linux/runtime/GlibCalendar.h"
#include "platform/linux/sqlite/SqliteHistoryStore.h"

#include <gio/gio.h>

namespace {

namespace fs = std::filesystem;
using namespace nuv;
using std::chrono::minutes;

int gDays = 90;  // of the size case

fs::path benchFolder(const char* what) {
  return fs::temp_directory_path() / ("nuv-history-bench-" + std::to_string(getpid()) + "-" + what);
}

DeviceStatusMap deviceAt(int level) {
  return {{"bench-device", DeviceEntry{{{"Bonjour", "bench-device"},
                                        {"name", "Bench iPad"},
                                        {"Battery", std::to_string(level)},
                                        {"BatteryCycleCount", "412"},
                                        {"BatteryFullChargeCapacity", "2706"},
                                        {"BatteryDesignCapacity", "3110"},
                                        {"BatteryMaxCapacity", "87"}},
                                       {}}}};
}

// One broadcast that changes the level, on the loop thread: the recorder's
// decision and the hand-over to the worker. The worker writes meanwhile.
void BM_BroadcastStall(benchmark::State& state) {
  const auto dir = benchFolder("stall");
  fake::FakeRunLoop loop;
  std::vector<double> us;
  {
    linux_backend::SqliteHistoryStore store(loop, (dir / "history.sqlite").string());
    const linux_backend::GlibCalendar calendar;
    HistoryRecorder recorder(loop, store, &calendar);
    int level = 0;
    for (auto _ : state) {
      const auto map = deviceAt(level++ % 100);
      const auto start = std::chrono::steady_clock::now();
      recorder.mapBroadcast(map);
      us.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count());
    }
    store.waitUntilIdle();
  }
  std::sort(us.begin(), us.end());
  state.counters["p99_us"] = us.empty() ? 0 : us[us.size() * 99 / 100];
  state.counters["max_us"] = us.empty() ? 0 : us.back();
  fs::remove_all(dir);
}
BENCHMARK(BM_BroadcastStall)->Unit(benchmark::kMicrosecond);

void fill(linux_backend::SqliteHistoryStore& store, const std::string& device, Date end, int days) {
  const int count = days * 24 * 60;
  for (int i = 0; i < count; ++i) {
    store.addSample(device, "iPad " + device,
                    {Date{end.time - minutes(count - i)}, static_cast<std::uint8_t>(i % 101),
                     i % 7 < 3, i % 7 < 4});
  }
}

// 7 days of one device changing every minute (10,080 samples), read through
// the store: the worker's query, then the result on the loop.
void BM_ReadSevenDays(benchmark::State& state) {
  const auto dir = benchFolder("read");
  fake::FakeRunLoop loop;
  linux_backend::SqliteHistoryStore store(loop, (dir / "history.sqlite").string());
  const Date now = loop.clock().now();
  fill(store, "bench-device", now, 7);
  store.waitUntilIdle();
  std::size_t rows = 0;
  for (auto _ : state) {
    store.read("bench-device", Date{now.time - std::chrono::hours(24 * 7)},
               [&](HistoryStore::Stored s) { rows = s.samples.size(); });
    store.waitUntilIdle();
    loop.runUntilIdle();
  }
  state.counters["rows"] = static_cast<double>(rows);
  fs::remove_all(dir);
}
BENCHMARK(BM_ReadSevenDays)->Unit(benchmark::kMillisecond);

// Five years of one device's daily health rows (1,826), read through the
// store as GetHealthHistory reads them.
void BM_ReadFiveYearsOfHealth(benchmark::State& state) {
  const auto dir = benchFolder("health");
  fake::FakeRunLoop loop;
  linux_backend::SqliteHistoryStore store(loop, (dir / "history.sqlite").string());
  const Date now = loop.clock().now();
  const auto today = std::chrono::floor<std::chrono::days>(now.time);
  constexpr int kDays = 5 * 365 + 1;
  for (int i = 0; i < kDays; ++i) {
    store.addHealth("bench-device", "Bench iPad", today - std::chrono::days(kDays - 1 - i),
                    {Date{now.time - std::chrono::hours(24 * (kDays - 1 - i))}, i / 2, 3000 - i / 4,
                     3110, 96 - i / 100});
  }
  store.waitUntilIdle();
  std::size_t rows = 0;
  for (auto _ : state) {
    store.readHealth("bench-device", Date{now.time - HistoryRecorder::kHealthKept},
                     [&](std::vector<HealthReading> r) { rows = r.size(); });
    store.waitUntilIdle();
    loop.runUntilIdle();
  }
  state.counters["rows"] = static_cast<double>(rows);
  fs::remove_all(dir);
}
BENCHMARK(BM_ReadFiveYearsOfHealth)->Unit(benchmark::kMillisecond);

// GetHistory's reply for those 10,080 samples: built in the module, and the
// message GDBus puts on the bus for it.
void BM_EncodeReply(benchmark::State& state) {
  DeviceHistory history;
  for (int i = 0; i < 10080; ++i) {
    history.samples.push_back({Date::fromMicroseconds(i * 60'000'000LL),
                               static_cast<std::uint8_t>(i % 101), i % 3 == 0, i % 2 == 0});
  }
  for (auto _ : state) {
    GVariant* reply = g_variant_ref_sink(linux_backend::historyToVariant(history));
    GDBusMessage* message = g_dbus_message_new_method_call(nullptr, "/a", "a.b", "C");
    g_dbus_message_set_body(message, reply);
    gsize size = 0;
    guchar* blob = g_dbus_message_to_blob(message, &size, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
    benchmark::DoNotOptimize(blob);
    g_free(blob);
    g_object_unref(message);
    g_variant_unref(reply);
  }
}
BENCHMARK(BM_EncodeReply)->Unit(benchmark::kMillisecond);

// The file for `gDays` days of 5 devices changing every minute.
void BM_FileSize(benchmark::State& state) {
  const auto dir = benchFolder("size");
  const auto path = dir / "history.sqlite";
  for (auto _ : state) {
    fake::FakeRunLoop loop;
    linux_backend::SqliteHistoryStore store(loop, path.string());
    for (int d = 0; d < 5; ++d)
      fill(store, "device-" + std::to_string(d), loop.clock().now(), gDays);
    store.waitUntilIdle();
  }
  std::uintmax_t bytes = 0;
  for (const char* suffix : {"", "-wal"}) {
    std::error_code ec;
    const auto size = fs::file_size(path.string() + suffix, ec);
    if (!ec) bytes += size;
  }
  state.counters["days"] = gDays;
  state.counters["MB"] = static_cast<double>(bytes) / 1e6;
  fs::remove_all(dir);
}
BENCHMARK(BM_FileSize)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  // --days N: the size case's span (the smoke run takes 1).
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--days=", 7) == 0) {
      gDays = std::atoi(argv[i] + 7);
    } else {
      rest.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
