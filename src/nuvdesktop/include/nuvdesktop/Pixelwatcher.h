#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nuvdesktop/Export.h>
#include <nuvdesktop/Types.h>

namespace nuvdesktop {

// Reads what the screen shows below a window (X11, with the window itself
// left out) and picks black or white to stand out against it. A window is
// named by its number: the X11 window id. Points here have their origin at
// the lower-left corner of the screen, y growing upward. Thread-safe.
class NUVDESKTOP_EXPORT Pixelwatcher {
 public:
  // Black when the pixel below window `windowNumber` at (x, y) has a
  // brightness of 125 or more (of 255), white otherwise (also when nothing
  // can be read there). Absent for window number 0.
  static std::optional<Rgba> getColor(std::int32_t x, std::int32_t y, std::int32_t windowNumber);
  // The screen pixel below window `windowNumber` at `point`; absent when the
  // window does not exist or nothing can be read.
  static std::optional<Rgba> colorUnderWindowAtPoint(Point point, std::int32_t windowNumber);
  // Six lowercase hexadecimal digits, red first ("00ff00").
  static std::string hexStringForColor(const Rgba& color);
  // The colour of a hexadecimal RGB number ("0x00ff00", " 00FF00 ");
  // black for text that is not one.
  static Rgba colorWithHexColorString(const std::string& hex);
};

}  // namespace nuvdesktop
