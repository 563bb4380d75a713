// The probe's report for one device, a whole probe run over its state files
// without and with the kept battery health (the device itself answering at
// once), and nuvctl watch's work per broadcast: decoding the bus payload and
// writing its JSON line, for maps of 1 to 1000 devices.

#include <benchmark/benchmark.h>
#include <glib.h>
#include <stdlib.h>

#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>

#include "ProbeReport.h"
#include "WatchView.h"
#include "client/StackPayload.h"
#include "platform/linux/GlibHandles.h"
#include "platform/linux/bus/VariantCodec.h"

namespace {

void BM_ProbeReport(benchmark::State& state) {
  nuv::DeviceFacts facts;
  facts.name = "Zoë’s iPhone\twith a tab";
  facts.productType = "iPhone15,2";
  facts.trusted = true;
  facts.batteryLevel = 87;
  facts.charging = true;
  facts.externalConnected = true;
  facts.fullyCharged = false;
  const nuv::DeviceCandidate device{"00008110-001A2B3C4D5E6F70", nuv::DeviceConnection::Usb};
  for (auto _ : state) benchmark::DoNotOptimize(nuv::ProbeReport::format(device, facts));
}
BENCHMARK(BM_ProbeReport);

// One trusted device that answers at once, its health never due.
class InstantSource : public nuv::DeviceFactsSource {
 public:
  std::optional<std::vector<nuv::DeviceCandidate>> listDevices(std::string*) override {
    return std::vector<nuv::DeviceCandidate>{{"00008110-001A2B3C4D5E6F70"}};
  }
  std::optional<nuv::DeviceFacts> readFacts(const nuv::DeviceCandidate&, const RelayGate& askRelay,
                                            std::string*) override {
    nuv::DeviceFacts facts;
    facts.name = "My Phone";
    facts.trusted = true;
    facts.batteryLevel = 87;
    if (askRelay && askRelay(facts)) facts.health = nuv::BatteryHealth{412, 87};
    return facts;
  }
};

// A probe run's own work (list, order, read, print, state files) on a
// runtime folder, as every 5 s: Arg 0 keeps the rotation only, Arg 1 the
// battery health too.
void BM_ProbeRun(benchmark::State& state) {
  // Where the probe keeps them: XDG_RUNTIME_DIR, in memory.
  std::string pattern = std::string(g_get_user_runtime_dir()) + "/nuv-bench-XXXXXX";
  const std::string folder = ::mkdtemp(pattern.data());
  nuv::RotationState rotation(folder);
  nuv::BatteryHealthState health(folder);
  InstantSource source;
  const nuv::ProbeReport::Memory memory{&rotation, state.range(0) ? &health : nullptr,
                                        std::time(nullptr)};
  std::ostringstream out, err;
  nuv::ProbeReport::run(source, memory, out, err);  // the one ask of the day
  for (auto _ : state) {
    out.str("");
    benchmark::DoNotOptimize(nuv::ProbeReport::run(source, memory, out, err));
  }
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_ProbeRun)->Arg(0)->Arg(1);

nuv::glib::Variant stackBody(int devices) {
  nuv::Dictionary map;
  for (int i = 0; i < devices; ++i) {
    const std::string udid = "00008110-" + std::to_string(1000000 + i);
    map[udid] = nuv::Dictionary{{"Bonjour", udid},
                                {"name", "Phone " + std::to_string(i)},
                                {"Battery", "87"},
                                {"Charging", "1"},
                                {"Host Attached", "1"},
                                {"ProductType", "iPhone15,2"},
                                {"timestamp", nuv::Date::fromMicroseconds(1765000000000000)}};
  }
  GVariant* info = nuv::linux_backend::toVariant(map);
  return nuv::glib::Variant(g_variant_ref_sink(g_variant_new("(ss@a{sv})", "iOSStack", "", info)));
}

void BM_WatchBroadcast(benchmark::State& state) {
  const auto body = stackBody(static_cast<int>(state.range(0)));
  const auto received = nuv::Date::fromMicroseconds(1765000000000000);
  for (auto _ : state) {
    auto payload = nuvclient::StackPayload::fromSignalBody(body.get(), nullptr);
    benchmark::DoNotOptimize(nuvctl::WatchView::jsonLine(*payload, received));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WatchBroadcast)->Arg(1)->Arg(10)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
