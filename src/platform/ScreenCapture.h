#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/Color.h"
#include "platform/Geometry.h"

namespace nuv {

// A captured screen image at nominal resolution: one sample per component,
// row by row from the top-left pixel.
struct CapturedImage {
  int width = 0;
  int height = 0;
  Color::Space space = Color::Space::RGB;
  int samplesPerPixel = 4;  // RGB: r, g, b, a; Gray: w, a
  std::vector<std::uint8_t> samples;

  // The colour of pixel (x, y) in the image's colour space; absent outside
  // the image or when the buffer is short.
  std::optional<Color> colorAt(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height || samplesPerPixel <= 0) return std::nullopt;
    std::size_t at = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)) *
                     static_cast<std::size_t>(samplesPerPixel);
    if (at + static_cast<std::size_t>(samplesPerPixel) > samples.size()) return std::nullopt;
    Color c{space, {}};
    for (int i = 0; i < samplesPerPixel; ++i) c.components.push_back(samples[at + i] / 255.0);
    return c;
  }
};

// The window server's screen. Thread-safe.
class ScreenCapture {
 public:
  virtual ~ScreenCapture() = default;

  // Height of the main screen; absent when there is no screen.
  virtual std::optional<double> mainScreenHeight() = 0;
  // What the on-screen windows below window `windowNumber` (that window
  // itself excluded) show within `rect`, in global coordinates with the
  // origin at the top-left of the main screen. Absent when the window does
  // not exist or the capture failed.
  virtual std::optional<CapturedImage> captureBelowWindow(const Rect& rect,
                                                          std::uint32_t windowNumber) = 0;
};

}  // namespace nuv
