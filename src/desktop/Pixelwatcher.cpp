#include "desktop/Pixelwatcher.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>

#include "platform/DesktopServices.h"
#include "platform/Numbers.h"
#include "platform/ScreenCapture.h"

namespace nuv {

namespace {

// The parameters of one getColor call, formatted as "key:value" and split
// back, as the window number's saturating read-back relies on.
using Parameters = std::map<std::string, std::string>;

void storeParameter(Parameters& parameters, const std::string& text) {
  auto colon = text.find(':');
  if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) return;
  parameters[text.substr(0, colon)] = text.substr(colon + 1);
}

std::string lookup(const Parameters& parameters, const std::string& key) {
  auto it = parameters.find(key);
  return it == parameters.end() ? std::string() : it->second;
}

// Multiplying by 256 - 1/65536 maps every k/255 back to k and 1.0 to 255.
int component8(double value) {
  double scaled = value * 255.99998474121094;
  if (!(scaled >= 0)) return 0;  // negative or NaN
  if (scaled >= 255) return 255;
  return static_cast<int>(scaled);
}

}  // namespace

Pixelwatcher::Pixelwatcher(ScreenCapture& screen) : screen_(screen) {}

Pixelwatcher& Pixelwatcher::sharedWatcher() {
  static auto* watcher = new Pixelwatcher(desktopServices().screenCapture());  // lives until exit
  return *watcher;
}

std::optional<Color> Pixelwatcher::getColor(std::int32_t x, std::int32_t y,
                                            std::int32_t windowNumber) {
  char xs[32], ys[32], ws[32];
  std::snprintf(xs, sizeof xs, "x:%d", x);
  std::snprintf(ys, sizeof ys, "y:%d", y);
  std::snprintf(ws, sizeof ws, "winID:%u", static_cast<std::uint32_t>(windowNumber));
  Parameters parameters;
  for (const char* text : {xs, ys, ws}) storeParameter(parameters, text);

  std::int32_t window = saturatedInt32(lookup(parameters, "winID"));
  if (window == 0) return std::nullopt;  // no window: no colour, and the caller lives on

  Point point{static_cast<double>(saturatedInt32(lookup(parameters, "x"))),
              static_cast<double>(saturatedInt32(lookup(parameters, "y")))};
  std::optional<Color> sampled = colorUnderWindowAtPoint(point, window);
  Color contrast = contrastingColorForColor(sampled);
  return colorWithHexColorString(hexStringForColor(contrast));
}

Rect Pixelwatcher::captureRectForPoint(Point point, double screenHeight) {
  return Rect{{std::floor(point.x), screenHeight - std::floor(point.y)},
              {kCaptureSide, kCaptureSide}};
}

std::optional<Color> Pixelwatcher::colorUnderWindowAtPoint(Point point, std::int32_t windowNumber) {
  double height = screen_.mainScreenHeight().value_or(0);
  std::optional<CapturedImage> image = screen_.captureBelowWindow(
      captureRectForPoint(point, height), static_cast<std::uint32_t>(windowNumber));
  if (!image) return std::nullopt;
  return image->colorAt(0, 0);
}

Color Pixelwatcher::contrastingColorForColor(const std::optional<Color>& color) {
  if (!color) return Color::white();
  const std::vector<double>& c = color->components;
  double brightness;
  if (c.size() == 4) {
    brightness = (c[0] * 255 * 299 + c[1] * 255 * 587 + c[2] * 255 * 114) / 1000;
  } else if (c.size() == 2) {
    double g = c[0] * 255;
    brightness = (g * 587 + g * 299 + g * 114) / 1000;
  } else {
    return Color::white();
  }
  return brightness >= 125 ? Color::black() : Color::white();
}

std::optional<std::string> Pixelwatcher::hexStringForColor(const Color& color) {
  std::optional<Color> rgb = color.usingCalibratedRGB();
  if (!rgb) return std::nullopt;
  char text[8];
  std::snprintf(text, sizeof text, "%02x%02x%02x", component8(rgb->components[0]),
                component8(rgb->components[1]), component8(rgb->components[2]));
  return std::string(text);
}

Color Pixelwatcher::colorWithHexColorString(const std::optional<std::string>& hex) {
  std::uint32_t value = 0;
  if (hex) {
    const std::string& s = *hex;
    std::size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    if (s.size() - i >= 2 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) i += 2;
    std::uint64_t acc = 0;
    for (; i < s.size() && std::isxdigit(static_cast<unsigned char>(s[i])); ++i) {
      char ch = static_cast<char>(std::tolower(static_cast<unsigned char>(s[i])));
      acc = acc * 16 + static_cast<std::uint64_t>(ch <= '9' ? ch - '0' : ch - 'a' + 10);
      if (acc > std::numeric_limits<std::uint32_t>::max()) {
        acc = std::numeric_limits<std::uint32_t>::max();  // overflow saturates
      }
    }
    value = static_cast<std::uint32_t>(acc);
  }
  return Color::calibratedRGB(((value >> 16) & 255) / 255.0, ((value >> 8) & 255) / 255.0,
                              (value & 255) / 255.0, 1.0);
}

}  // namespace nuv
