#include "desktop/Pixelwatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "platform/fake/FakeScreenCapture.h"

namespace nuv {
namespace {

const Color kOpaqueBlack = Color::calibratedRGB(0, 0, 0, 1);
const Color kOpaqueWhite = Color::calibratedRGB(1, 1, 1, 1);

Color rgb(double r, double g, double b) { return Color::calibratedRGB(r, g, b, 1); }

TEST(PixelwatcherContrast, BrightnessBoundaryWeightsAndUnmeasurableColours) {
  const std::pair<std::optional<Color>, bool> cases[] = {
      // colour, contrast is black
      {rgb(125 / 255.0, 125 / 255.0, 125 / 255.0), true},  // exactly 125
      {rgb(124.9 / 255, 124.9 / 255, 124.9 / 255), false},
      {rgb(1, 0, 0), false},  // 76.245
      {rgb(0, 1, 0), true},   // 149.685
      {rgb(0, 0, 1), false},  // 29.07
      {Color::gray(128 / 255.0, 1), true},
      {Color::gray(124 / 255.0, 1), false},
      {Color::calibratedRGB(1, 1, 1, 0), true},  // alpha does not take part
      // Unmeasurable: white.
      {std::nullopt, false},
      {Color{Color::Space::RGB, {1, 1, 1}}, false},  // no alpha
      {Color{Color::Space::Other, {1}}, false},
      {Color{Color::Space::Other, {}}, false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(Pixelwatcher::contrastingColorForColor(cases[i].first),
              cases[i].second ? Color::black() : Color::white())
        << i;
  }
}

TEST(PixelwatcherHex, EveryComponentLevelRoundTrips) {
  for (int k = 0; k <= 255; ++k) {
    auto hex = Pixelwatcher::hexStringForColor(rgb(k / 255.0, 0, (255 - k) / 255.0));
    ASSERT_TRUE(hex);
    char expected[8];
    std::snprintf(expected, sizeof expected, "%02x00%02x", k, 255 - k);
    ASSERT_EQ(*hex, expected) << k;
    Color back = Pixelwatcher::colorWithHexColorString(hex);
    ASSERT_EQ(back, rgb(k / 255.0, 0, (255 - k) / 255.0)) << k;
  }
}

TEST(PixelwatcherHex, ColourSpacesAlphaAndOutOfRangeComponents) {
  EXPECT_FALSE(Pixelwatcher::hexStringForColor(Color{Color::Space::Other, {0.5, 1}}));
  EXPECT_FALSE(Pixelwatcher::hexStringForColor(Color{Color::Space::RGB, {0.5, 1}}));
  EXPECT_EQ(Pixelwatcher::hexStringForColor(Color::black()), "000000");  // grey converts
  EXPECT_EQ(Pixelwatcher::hexStringForColor(Color::white()), "ffffff");
  // Alpha is not read.
  EXPECT_EQ(Pixelwatcher::hexStringForColor(Color::calibratedRGB(1, 0.5, 0, 0)), "ff7f00");
  // Components outside 0...1 (or not a number) stay within two digits.
  EXPECT_EQ(Pixelwatcher::hexStringForColor(
                Color::calibratedRGB(-0.5, 7.0, std::numeric_limits<double>::quiet_NaN(), 1)),
            "00ff00");
}

TEST(PixelwatcherHex, ParsingStrings) {
  EXPECT_EQ(Pixelwatcher::colorWithHexColorString(std::nullopt), kOpaqueBlack);
  const std::pair<const char*, Color> cases[] = {
      {"", kOpaqueBlack},
      {"g0ffff", kOpaqueBlack},  // leading non-hexadecimal character
      {"FF8000", rgb(1, 128 / 255.0, 0)},
      {"1ff8000", rgb(1, 128 / 255.0, 0)},   // seven digits: lowest 24 bits
      {"abff8000", rgb(1, 128 / 255.0, 0)},  // eight digits
      {"123456789", kOpaqueWhite},           // overflow saturates
      {"  0x0000ff", rgb(0, 0, 1)},
      {"ff00zz", rgb(0, 0xff / 255.0, 0)},  // scanning stops at the first non-digit
  };
  for (const auto& [text, color] : cases) {
    EXPECT_EQ(Pixelwatcher::colorWithHexColorString(std::string(text)), color) << text;
  }
}

TEST(PixelwatcherParameters, IntValueSaturates) {
  constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
  const std::pair<const char*, std::int32_t> cases[] = {
      {"42", 42},
      {"  -7x", -7},
      {"2147483647", kMax},
      {"2147483648", kMax},
      {"99999999999999999999999", kMax},
      {"abc", 0},
      {"-2147483649", std::numeric_limits<std::int32_t>::min()}};
  for (const auto& [text, value] : cases) EXPECT_EQ(Pixelwatcher::intValue(text), value) << text;
}

class PixelwatcherTest : public ::testing::Test {
 protected:
  fake::FakeScreenCapture screen;
  Pixelwatcher watcher{screen};
};

TEST_F(PixelwatcherTest, WindowZeroGivesNoColourAndCapturesNothing) {
  screen.image = fake::FakeScreenCapture::filled(rgb(0, 1, 0));
  EXPECT_FALSE(watcher.getColor(10, 20, 0));
  EXPECT_TRUE(screen.requests.empty());
  // The caller goes on, and the next call works normally.
  EXPECT_EQ(watcher.getColor(10, 20, 5), kOpaqueBlack);
  // Negative window numbers saturate.
  watcher.getColor(0, 0, -1);
  watcher.getColor(0, 0, std::numeric_limits<std::int32_t>::min());
  ASSERT_EQ(screen.requests.size(), 3u);
  EXPECT_EQ(screen.requests[1].windowNumber, 2147483647u);
  EXPECT_EQ(screen.requests[2].windowNumber, 2147483647u);
}

TEST_F(PixelwatcherTest, CapturesA100SquareBelowTheWindowWithFlippedY) {
  screen.height = 900;
  screen.image = fake::FakeScreenCapture::filled(rgb(0, 1, 0));
  EXPECT_EQ(watcher.getColor(30, 200, 77), kOpaqueBlack);
  ASSERT_EQ(screen.requests.size(), 1u);
  EXPECT_EQ(screen.requests[0].windowNumber, 77u);
  EXPECT_EQ(screen.requests[0].rect, (Rect{{30, 700}, {100, 100}}));

  screen.height.reset();  // no main screen
  watcher.getColor(-4, 12, 77);
  EXPECT_EQ(screen.requests[1].rect, (Rect{{-4, -12}, {100, 100}}));
  EXPECT_EQ(Pixelwatcher::captureRectForPoint({2.7, 3.2}, 10), (Rect{{2, 7}, {100, 100}}));
}

TEST_F(PixelwatcherTest, ResultFollowsTheTopLeftPixel) {
  auto image = fake::FakeScreenCapture::filled(rgb(1, 0, 0));  // dark red everywhere ...
  image.samples[1] = 255;                                      // ... but (0, 0) is yellow
  screen.image = image;
  EXPECT_EQ(watcher.getColor(1, 1, 9), kOpaqueBlack);
  EXPECT_EQ(watcher.colorUnderWindowAtPoint({1, 1}, 9), rgb(1, 1, 0));
}

TEST_F(PixelwatcherTest, FailedOrEmptyCaptureGivesWhite) {
  screen.image.reset();
  EXPECT_EQ(watcher.getColor(1, 1, 9), kOpaqueWhite);
  screen.image = CapturedImage{};  // no pixels
  EXPECT_EQ(watcher.getColor(1, 1, 9), kOpaqueWhite);
  // Three components per pixel.
  screen.image = fake::FakeScreenCapture::filled(Color{Color::Space::RGB, {1, 1, 1}});
  EXPECT_EQ(watcher.getColor(1, 1, 9), kOpaqueWhite);
}

TEST(CapturedImageTest, PixelReadsStayInsideTheImage) {
  auto image = fake::FakeScreenCapture::filled(Color::gray(1, 1), 2, 2);
  EXPECT_EQ(image.colorAt(1, 1), Color::gray(1, 1));
  EXPECT_FALSE(image.colorAt(2, 0));
  EXPECT_FALSE(image.colorAt(0, -1));
  image.samples.resize(5);  // shorter than width x height says
  EXPECT_TRUE(image.colorAt(0, 0));
  EXPECT_FALSE(image.colorAt(1, 1));
  image.samplesPerPixel = 0;
  EXPECT_FALSE(image.colorAt(0, 0));
}

// A screen whose colour depends on the window asked for: odd windows show
// white, even ones black. Thread-safe.
class PerWindowScreen : public ScreenCapture {
 public:
  std::optional<double> mainScreenHeight() override { return 500; }
  std::optional<CapturedImage> captureBelowWindow(const Rect&, std::uint32_t window) override {
    std::this_thread::yield();
    return fake::FakeScreenCapture::filled(window % 2 ? Color::white() : Color::black(), 1, 1);
  }
};

TEST(PixelwatcherConcurrency, ConcurrentCallsKeepTheirOwnParameters) {
  PerWindowScreen screen;
  Pixelwatcher watcher(screen);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        const std::int32_t window = 2 * (t * 1000 + i) + (t % 2) + 2;
        if (watcher.getColor(i, t, window) != (window % 2 ? kOpaqueBlack : kOpaqueWhite)) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace nuv
