// Parser and merge costs of one poll cycle: a typical probe output (~1 KiB),
// a pathological 16 MiB one, and a merge into a map of 1,000 devices.

#include <benchmark/benchmark.h>

#include <string>

#include "app/AppDelegate.h"
#include "app/ProbeOutputParser.h"
#include "platform/fake/FakeApplication.h"
#include "platform/fake/FakeNotificationCenter.h"
#include "platform/fake/FakeProcess.h"
#include "platform/fake/FakeRunLoop.h"

namespace {

std::string typicalOutput(int device = 0, int battery = 85) {
  std::string out = "Bonjour\t00008030-" + std::to_string(100000 + device) + "\nname\tiPhone " +
                    std::to_string(device) + "\nBattery\t" + std::to_string(battery) +
                    "\nCharging\t1\nHost Attached\t1\nProductType\tiPhone15,2\nTrusted\t1\n";
  while (out.size() < 1024) out += "Key" + std::to_string(out.size()) + "\tsome value text\n";
  return out;
}

void BM_ParseTypical(benchmark::State& state) {
  const std::string out = typicalOutput();
  for (auto _ : state) benchmark::DoNotOptimize(nuv::parseProbeOutput(out));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
}
BENCHMARK(BM_ParseTypical);

void BM_Parse16MiB(benchmark::State& state) {
  std::string out = typicalOutput();
  const std::string filler(1023, 'x');
  while (out.size() < (16u << 20)) out += filler + "\n";
  for (auto _ : state) benchmark::DoNotOptimize(nuv::parseProbeOutput(out));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
}
BENCHMARK(BM_Parse16MiB)->Unit(benchmark::kMillisecond);

struct Module {
  nuv::fake::FakeRunLoop loop;
  nuv::fake::FakeProcessLauncher launcher{loop};
  nuv::fake::FakeNotificationCenter center;
  nuv::fake::FakeWorkspace workspace;
  nuv::fake::FakeBundle bundle;
  nuv::fake::FakeApplication application;
  nuv::AppDelegate delegate{{loop, launcher, center, workspace, bundle, application}};
};

// One probe result merged into a map of `range(0)` devices; the result
// alternates between two battery values so every merge is a change and a
// broadcast of the whole map (encoding to the bus is not included).
void BM_MergeChanged(benchmark::State& state) {
  Module m;
  for (int d = 0; d < state.range(0); ++d)
    m.delegate.updateUI(nuv::parseProbeOutput(typicalOutput(d)));
  const auto a = nuv::parseProbeOutput(typicalOutput(0, 50));
  const auto b = nuv::parseProbeOutput(typicalOutput(0, 51));
  bool flip = false;
  for (auto _ : state) {
    m.delegate.updateUI((flip = !flip) ? a : b);
    state.PauseTiming();
    m.center.clearPosted();
    m.loop.runUntilIdle();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_MergeChanged)->Arg(1)->Arg(1000);

void BM_MergeUnchanged(benchmark::State& state) {
  Module m;
  for (int d = 0; d < state.range(0); ++d)
    m.delegate.updateUI(nuv::parseProbeOutput(typicalOutput(d)));
  const auto same = nuv::parseProbeOutput(typicalOutput(0));
  for (auto _ : state) m.delegate.updateUI(same);
}
BENCHMARK(BM_MergeUnchanged)->Arg(1)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
