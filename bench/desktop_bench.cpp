// Desktop utilities: the sampler's per-call work on a fake screen, the hex
// round trip, a capped window list, and (when $DISPLAY is set) a real X11
// capture below a window.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "desktop/AccessibilityWrapper.h"
#include "desktop/Pixelwatcher.h"
#include "platform/DesktopServices.h"
#include "platform/fake/FakeAccessibilityService.h"
#include "platform/fake/FakeScreenCapture.h"
#include "platform/linux/desktop/X11ScreenCapture.h"
#include "platform/linux/desktop/X11WindowSystem.h"

namespace {

void BM_GetColorOnFakeScreen(benchmark::State& state) {
  nuv::fake::FakeScreenCapture screen;
  screen.image = nuv::fake::FakeScreenCapture::filled(nuv::Color::calibratedRGB(0, 1, 0, 1));
  nuv::Pixelwatcher watcher(screen);
  for (auto _ : state) {
    benchmark::DoNotOptimize(watcher.getColor(120, 340, 77));
    screen.requests.clear();
  }
}
BENCHMARK(BM_GetColorOnFakeScreen);

void BM_HexRoundTrip(benchmark::State& state) {
  auto color = nuv::Color::calibratedRGB(0.2, 0.4, 0.6, 1);
  for (auto _ : state) {
    auto hex = nuv::Pixelwatcher::hexStringForColor(color);
    benchmark::DoNotOptimize(nuv::Pixelwatcher::colorWithHexColorString(hex));
  }
}
BENCHMARK(BM_HexRoundTrip);

void BM_WindowsInAppCapped(benchmark::State& state) {
  nuv::fake::FakeAccessibilityService ax;
  nuv::desktopServices().accessibility = &ax;
  auto app = ax.addApplication(7);
  nuv::ElementArray many;
  for (int i = 0; i < 150; ++i) many.push_back(ax.window("w", 7));
  app->attributes[nuv::AXAttribute::Windows] = many;
  for (auto _ : state) {
    benchmark::DoNotOptimize(nuv::AccessibilityWrapper::windowsInApp(app));
    app->reads.clear();
    ax.sliceRequests.clear();
  }
  nuv::desktopServices().accessibility = nullptr;
  nuv::AccessibilityWrapper::forgetSystemWideElement();
}
BENCHMARK(BM_WindowsInAppCapped);

// Set NUV_BENCH_WINDOW to an X window id to capture below it.
void BM_X11CaptureBelowWindow(benchmark::State& state) {
  const char* window = std::getenv("NUV_BENCH_WINDOW");
  if (!std::getenv("DISPLAY") || !window) {
    state.SkipWithError("needs DISPLAY and NUV_BENCH_WINDOW");
    return;
  }
  nuv::linux_backend::X11ScreenCapture screen(nuv::linux_backend::X11WindowSystem::shared());
  auto id = static_cast<std::uint32_t>(std::strtoul(window, nullptr, 10));
  screen.captureBelowWindow({{0, 0}, {100, 100}}, id);  // first use sets up redirection
  for (auto _ : state) {
    benchmark::DoNotOptimize(screen.captureBelowWindow({{250, 250}, {100, 100}}, id));
  }
}
BENCHMARK(BM_X11CaptureBelowWindow)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
