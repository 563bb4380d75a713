#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Color.h"
#include "platform/Geometry.h"

namespace nuv {

class ScreenCapture;

// Answers, for a window on the desktop, whether black or white stands out
// better at a screen point against what the screen shows below that window,
// and reads six-digit hexadecimal RGB strings.
//
// Threading: getColor keeps its parameters per call, so concurrent calls are
// safe; the screen backend serialises its own use.
class Pixelwatcher {
 public:
  // Side of the square captured below the window; only its top-left pixel is read.
  static constexpr double kCaptureSide = 100;

  // `screen` must outlive the instance.
  explicit Pixelwatcher(ScreenCapture& screen);

  // The shared instance on the desktop's screen backend, created once on
  // first use from any thread; it lives until the process ends.
  static Pixelwatcher& sharedWatcher();

  // Opaque calibrated-RGB black when the pixel below window `windowNumber`
  // at (x, y) has a brightness of 125 or more (of 255), opaque white
  // otherwise. (x, y) is in desktop coordinates: origin at the lower-left of
  // the main screen, y growing upward. A window number whose unsigned value
  // exceeds 2147483647 is used as 2147483647. Window number 0 stands for no
  // window: the result is absent.
  std::optional<Color> getColor(std::int32_t x, std::int32_t y, std::int32_t windowNumber);

  // Opaque calibrated-RGB colour from the hexadecimal number at the start of
  // `hex` (surrounding whitespace and a 0x prefix allowed; only the lowest 24
  // bits count). Absent, empty or non-hexadecimal text gives opaque black.
  static Color colorWithHexColorString(const std::optional<std::string>& hex);

  // The screen pixel below window `windowNumber` at `point`; absent when the
  // capture or the pixel read yields nothing.
  std::optional<Color> colorUnderWindowAtPoint(Point point, std::int32_t windowNumber);
  // Black for a bright colour, white for a dark, absent or unmeasurable one
  // (brightness with the BT.601 luma weights).
  static Color contrastingColorForColor(const std::optional<Color>& color);
  // Six lowercase hexadecimal digits, red first; absent when the colour has
  // no RGB equivalent.
  static std::optional<std::string> hexStringForColor(const Color& color);

  // The rectangle captured for `point` on a main screen `screenHeight` high
  // (0 without a screen), in top-left-origin global coordinates.
  static Rect captureRectForPoint(Point point, double screenHeight);

 private:
  ScreenCapture& screen_;
};

}  // namespace nuv
