#pragma once

#include <optional>
#include <vector>

namespace nuv {

// A colour as the screen utilities read and make it: a colour space and its
// components, 64-bit floats in 0...1, alpha last.
struct Color {
  enum class Space {
    RGB,    // red, green, blue, alpha (calibrated: no device profile applied)
    Gray,   // white level, alpha
    Other,  // anything that has no RGB equivalent (pattern, named, ...)
  };

  Space space = Space::RGB;
  std::vector<double> components;

  static Color calibratedRGB(double r, double g, double b, double a) {
    return Color{Space::RGB, {r, g, b, a}};
  }
  static Color gray(double white, double a) { return Color{Space::Gray, {white, a}}; }
  static Color black() { return gray(0, 1); }
  static Color white() { return gray(1, 1); }

  // The same colour in calibrated RGB (red, green, blue, alpha); absent when
  // the colour has no RGB equivalent or its components do not fit the space.
  std::optional<Color> usingCalibratedRGB() const {
    if (space == Space::RGB && components.size() == 4) return *this;
    if (space == Space::Gray && components.size() == 2) {
      return calibratedRGB(components[0], components[0], components[0], components[1]);
    }
    return std::nullopt;
  }

  friend bool operator==(const Color&, const Color&) = default;
};

}  // namespace nuv
