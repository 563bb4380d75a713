// The public pixel colour sampler over the desktop utility of the same name,
// on its shared instance (the X11 screen).

#include <nuvdesktop/Pixelwatcher.h>

#include "desktop/Pixelwatcher.h"

namespace nuvdesktop {
namespace {

std::optional<Rgba> toRgba(const std::optional<nuv::Color>& color) {
  if (!color) return std::nullopt;
  auto rgb = color->usingCalibratedRGB();
  if (!rgb) return std::nullopt;
  const auto& c = rgb->components;
  return Rgba{c[0], c[1], c[2], c[3]};
}

}  // namespace

std::optional<Rgba> Pixelwatcher::getColor(std::int32_t x, std::int32_t y,
                                           std::int32_t windowNumber) {
  return toRgba(nuv::Pixelwatcher::sharedWatcher().getColor(x, y, windowNumber));
}

std::optional<Rgba> Pixelwatcher::colorUnderWindowAtPoint(Point point, std::int32_t windowNumber) {
  return toRgba(
      nuv::Pixelwatcher::sharedWatcher().colorUnderWindowAtPoint({point.x, point.y}, windowNumber));
}

std::string Pixelwatcher::hexStringForColor(const Rgba& color) {
  auto c = nuv::Color::calibratedRGB(color.red, color.green, color.blue, color.alpha);
  return nuv::Pixelwatcher::hexStringForColor(c).value_or("000000");
}

Rgba Pixelwatcher::colorWithHexColorString(const std::string& hex) {
  return toRgba(nuv::Pixelwatcher::colorWithHexColorString(hex)).value_or(Rgba{});
}

}  // namespace nuvdesktop
