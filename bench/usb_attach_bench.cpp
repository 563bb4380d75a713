// Latency from an iPhone's "add" uevent to the probe process having started,
// through the module's own path: udev monitor on the main context, the USB
// watcher, AppDelegate::startMonitoring and a real child process. The probe
// records its own start time. Runs under umockdev (re-executes itself under
// the preload when needed).
#include <benchmark/benchmark.h>
#include <glib.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/AppDelegate.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/Log.h"
#include "platform/fake/FakeApplication.h"
#include "platform/linux/process/SpawnProcessLauncher.h"
#include "platform/linux/runtime/GlibRunLoop.h"
#include "platform/linux/udev/UdevUsbRegistry.h"
#include "usb/USBPluWatcher.h"

namespace {

using namespace nuv;
namespace fs = std::filesystem;

long long monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

std::vector<long long> readStamps(const std::string& path) {
  std::vector<long long> out;
  std::ifstream in(path);
  long long v = 0;
  while (in >> v) out.push_back(v);
  return out;
}

std::string probePath() {
  return (fs::read_symlink("/proc/self/exe").parent_path() / "usb_probe_stamp").string();
}

void BM_UsbAddToProbeStart(benchmark::State& state) {
  // The run's "tick" line marks the moment startMonitoring begins.
  long long tickNs = 0;
  log::setSink([&tickNs](log::Level, std::string_view line) {
    if (line.find(" tick ") != std::string_view::npos) tickNs = monotonicNs();
  });
  const fs::path dir = fs::temp_directory_path() / ("nuv-usb-bench-" + std::to_string(getpid()));
  fs::create_directories(dir / "Resources");
  fs::create_symlink(probePath(), dir / "Resources" / "devInfo.NUVModule");
  const std::string stampFile = (dir / "stamps").string();
  g_setenv("NUV_STAMP_FILE", stampFile.c_str(), TRUE);

  UMockdevTestbed* testbed = umockdev_testbed_new();
  const char* attrs[] = {"product", "iPhone", "busnum", "1", "devnum", "2", nullptr};
  const char* props[] = {"DEVTYPE", "usb_device", nullptr};
  gchar* phone = umockdev_testbed_add_devicev(
      testbed, "usb", "1-1", nullptr, const_cast<gchar**>(attrs), const_cast<gchar**>(props));
  umockdev_testbed_uevent(testbed, phone, "remove");

  linux_backend::GlibRunLoop loop;
  linux_backend::SpawnProcessLauncher launcher(loop);
  LocalNotificationCenter center;
  fake::FakeWorkspace workspace;
  fake::FakeBundle bundle;
  bundle.path = dir.string();
  fake::FakeApplication application;
  AppDelegate delegate({loop, launcher, center, workspace, bundle, application});
  USBPluWatcher watcher(std::make_unique<linux_backend::UdevUsbRegistry>(), loop, false);
  delegate.setUsbWatcher(&watcher);
  application.run(delegate);

  // Serves the main context (blocking, as the module does) until `done` or
  // the time is up.
  auto serveFor = [&](long long ns, auto done) {
    const long long end = monotonicNs() + ns;
    bool expired = false;
    GSource* guard = g_timeout_source_new(static_cast<guint>(ns / 1'000'000));
    g_source_set_callback(
        guard,
        [](gpointer flag) {
          *static_cast<bool*>(flag) = true;
          return G_SOURCE_REMOVE;
        },
        &expired, nullptr);
    g_source_attach(guard, nullptr);
    while (!done() && !expired && monotonicNs() < end) g_main_context_iteration(nullptr, TRUE);
    g_source_destroy(guard);
    g_source_unref(guard);
    return done();
  };
  // Registration comes 2 s after launch.
  serveFor(3'000'000'000LL, [] { return false; });

  std::vector<double> latencies;
  int collisions = 0;
  long long sendNs = 0;
  long long toRunNs = 0;
  long long spawnNs = 0;
  int runSamples = 0;
  for (auto _ : state) {
    const std::size_t before = readStamps(stampFile).size();
    const long long sent = monotonicNs();
    umockdev_testbed_uevent(testbed, phone, "add");
    sendNs += monotonicNs() - sent;
    long long started = 0;
    serveFor(2'000'000'000LL, [&] {
      auto stamps = readStamps(stampFile);
      if (stamps.size() <= before) return false;
      started = stamps[before];
      return !delegate.stillRunning();
    });
    umockdev_testbed_uevent(testbed, phone, "remove");
    // Let the removal and its broadcast through, and the window close.
    serveFor(20'000'000LL, [] { return false; });
    if (started == 0 || started < sent || started - sent > 1'000'000'000LL) {
      // A poll run was in progress or started first: not a USB-started run.
      ++collisions;
      state.SetIterationTime(0);
      continue;
    }
    const double seconds = (started - sent) / 1e9;
    latencies.push_back(seconds);
    if (tickNs > sent && tickNs < started) {
      toRunNs += tickNs - sent;
      spawnNs += started - tickNs;
      ++runSamples;
    }
    state.SetIterationTime(seconds);
  }
  std::sort(latencies.begin(), latencies.end());
  auto pct = [&](double p) {
    if (latencies.empty()) return 0.0;
    std::size_t i = static_cast<std::size_t>(p * (latencies.size() - 1) + 0.5);
    return latencies[std::min(i, latencies.size() - 1)] * 1e3;
  };
  state.counters["p50_ms"] = pct(0.50);
  state.counters["p90_ms"] = pct(0.90);
  state.counters["p99_ms"] = pct(0.99);
  state.counters["max_ms"] = latencies.empty() ? 0.0 : latencies.back() * 1e3;
  state.counters["collisions"] = collisions;
  // Time spent inside the test bed's own uevent call (part of the latency).
  // Mean time from the uevent to the probe run's start (the rest is spawning).
  state.counters["to_run_ms"] = toRunNs / 1e6 / std::max(1, runSamples);
  state.counters["spawn_ms"] = spawnNs / 1e6 / std::max(1, runSamples);
  state.counters["send_ms"] = sendNs / 1e6 / std::max<double>(1, state.iterations());

  g_free(phone);
  g_object_unref(testbed);
  fs::remove_all(dir);
  log::setSink({});
}
// The floor under the figure above: the same probe started by the same
// launcher with no USB event involved.
void BM_ProbeSpawnOnly(benchmark::State& state) {
  const fs::path dir = fs::temp_directory_path() / ("nuv-spawn-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string stampFile = (dir / "stamps").string();
  g_setenv("NUV_STAMP_FILE", stampFile.c_str(), TRUE);
  linux_backend::GlibRunLoop loop;
  linux_backend::SpawnProcessLauncher launcher(loop);
  std::vector<double> latencies;
  for (auto _ : state) {
    const std::size_t before = readStamps(stampFile).size();
    const long long sent = monotonicNs();
    auto probe = launcher.makeProcess(probePath(), {"-f"});
    probe->launch(nullptr);
    probe->waitUntilExit(AppDelegate::kProbeOutputGrace);
    auto stamps = readStamps(stampFile);
    const double seconds = stamps.size() > before ? (stamps[before] - sent) / 1e9 : 0.0;
    latencies.push_back(seconds);
    state.SetIterationTime(seconds);
  }
  std::sort(latencies.begin(), latencies.end());
  state.counters["p50_ms"] = latencies[latencies.size() / 2] * 1e3;
  state.counters["p99_ms"] = latencies[(latencies.size() - 1) * 99 / 100] * 1e3;
  fs::remove_all(dir);
}
}  // namespace

int main(int argc, char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (!preload || !std::strstr(preload, "umockdev-preload")) {
    std::string value =
        std::string("libumockdev-preload.so.0") + (preload ? ":" : "") + (preload ? preload : "");
    setenv("LD_PRELOAD", value.c_str(), 1);
    execv("/proc/self/exe", argv);
    return 127;
  }
  // The preload is in place for this process; the probe children run
  // without it, as they would outside the test bed.
  unsetenv("LD_PRELOAD");
  // --smoke: a few samples each, to show that the benchmark still works.
  const auto smoke = std::find_if(argv + 1, argv + argc,
                                  [](const char* a) { return std::strcmp(a, "--smoke") == 0; });
  const int samples = smoke == argv + argc ? 300 : 5;
  if (smoke != argv + argc) {
    std::copy(smoke + 1, argv + argc + 1, smoke);  // the terminating null included
    --argc;
  }
  benchmark::RegisterBenchmark("BM_ProbeSpawnOnly", BM_ProbeSpawnOnly)
      ->UseManualTime()
      ->Iterations(samples)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_UsbAddToProbeStart", BM_UsbAddToProbeStart)
      ->UseManualTime()
      ->Iterations(samples)
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
