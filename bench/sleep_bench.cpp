// The sleep save: how long the will-sleep handler holds logind's delay
// inhibitor (map -> "current" -> durable file write), and reading the file
// back at the next start.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>

#include "app/DeviceStatusMap.h"
#include "platform/linux/session/FileUserDefaults.h"

namespace {

using nuv::linux_backend::FileUserDefaults;
namespace fs = std::filesystem;

nuv::DeviceStatusMap makeMap(int devices) {
  nuv::DeviceStatusMap map;
  for (int i = 0; i < devices; ++i) {
    const std::string b = "00008110-00" + std::to_string(100000 + i);
    nuv::DeviceEntry e;
    e.pairs = {{"Bonjour", b},         {"name", "Phone " + std::to_string(i)},
               {"Battery", "77"},      {"Charging", "1"},
               {"Host Attached", "1"}, {"ProductType", "iPhone14,2"}};
    e.timestamp = nuv::Date::fromMicroseconds(1'780'000'000'000'000 + i);
    map.emplace(b, std::move(e));
  }
  return map;
}

fs::path benchFile() {
  return fs::temp_directory_path() / ("nuv-sleep-bench-" + std::to_string(getpid())) /
         "defaults.gvariant";
}

// Durable (fsync) write of the whole map, as at sleep.
void BM_SleepSave(benchmark::State& state) {
  const auto path = benchFile();
  const auto map = nuv::toDictionary(makeMap(static_cast<int>(state.range(0))));
  FileUserDefaults defaults(path.string());
  for (auto _ : state) {
    defaults.setValueForKey(map, "current");
    if (!defaults.synchronize()) state.SkipWithError("write failed");
  }
  fs::remove_all(path.parent_path());
}
BENCHMARK(BM_SleepSave)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

// Opening the file at start-up (parse and decode).
void BM_LoadDefaults(benchmark::State& state) {
  const auto path = benchFile();
  {
    FileUserDefaults defaults(path.string());
    defaults.setValueForKey(nuv::toDictionary(makeMap(static_cast<int>(state.range(0)))),
                            "current");
    defaults.synchronize();
  }
  for (auto _ : state) {
    FileUserDefaults defaults(path.string());
    benchmark::DoNotOptimize(defaults.objectForKey("current"));
  }
  fs::remove_all(path.parent_path());
}
BENCHMARK(BM_LoadDefaults)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
