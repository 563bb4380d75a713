#pragma once

#include <optional>
#include <vector>

#include "platform/ScreenCapture.h"

namespace nuv::fake {

// A screen whose capture result the test sets; every request is recorded.
class FakeScreenCapture : public ScreenCapture {
 public:
  struct Request {
    Rect rect;
    std::uint32_t windowNumber;
  };

  std::optional<double> height = 900;
  std::optional<CapturedImage> image;
  std::vector<Request> requests;

  std::optional<double> mainScreenHeight() override { return height; }
  std::optional<CapturedImage> captureBelowWindow(const Rect& rect,
                                                  std::uint32_t windowNumber) override {
    requests.push_back({rect, windowNumber});
    return image;
  }

  // An image of the given size whose every pixel is `color` (RGB or Gray,
  // components in 0...1, alpha last).
  static CapturedImage filled(const Color& color, int width = 100, int height = 100) {
    CapturedImage img;
    img.width = width;
    img.height = height;
    img.space = color.space;
    img.samplesPerPixel = static_cast<int>(color.components.size());
    for (int i = 0; i < width * height; ++i) {
      for (double c : color.components)
        img.samples.push_back(static_cast<std::uint8_t>(c * 255 + 0.5));
    }
    return img;
  }
};

}  // namespace nuv::fake
