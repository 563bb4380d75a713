// The probe's report for one device, and nuvctl watch's work per broadcast:
// decoding the bus payload and writing its JSON line, for maps of 1 to 1000
// devices.

#include <benchmark/benchmark.h>
#include <glib.h>

#include <string>

#include "ProbeReport.h"
#include "StackPayload.h"
#include "WatchView.h"
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
    auto payload = nuvctl::StackPayload::fromSignalBody(body.get(), nullptr);
    benchmark::DoNotOptimize(nuvctl::WatchView::jsonLine(*payload, received));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WatchBroadcast)->Arg(1)->Arg(10)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
