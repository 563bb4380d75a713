#pragma once

namespace nuvdesktop {

// Screen geometry in the desktop's global coordinates, in pixels.
struct Point {
  double x = 0;
  double y = 0;
};

struct Size {
  double width = 0;
  double height = 0;
};

// A calibrated RGB colour; components in 0...1.
struct Rgba {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;
};

}  // namespace nuvdesktop
