#pragma once

namespace nuv {

// Screen geometry as the desktop utilities exchange it: 64-bit floats in the
// global screen coordinates of the service that produced them.
struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
  Point origin;
  Size size;
  friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace nuv
