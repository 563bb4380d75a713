// A host program using libnuvdesktop. Build it with `make` (pkg-config
// nuvdesktop finds the installed libnuvdesktop-dev).
//
//   nuvdesktop-host trust             is this process trusted to use the
//                                     accessibility service?
//   nuvdesktop-host windows [PID]     the windows of the focused application
//                                     (or of process PID): title, position, size
//   nuvdesktop-host color X Y WINDOW  the screen colour below X11 window WINDOW
//                                     at (X, Y), origin at the lower-left,
//                                     and the black or white that stands out on it
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <nuvdesktop/nuvdesktop.h>

namespace {

int listWindows(int argc, char** argv) {
  std::vector<nuvdesktop::AccessibilityWrapper> windows;
  if (argc > 2) {
    windows = nuvdesktop::AccessibilityWrapper::windowsOfProcess(std::atoi(argv[2]));
  } else {
    nuvdesktop::AccessibilityWrapper focused;
    if (!focused.inited()) {
      std::cerr << "no focused window\n";
      return 1;
    }
    windows = focused.windowsInApp();
  }
  for (const auto& window : windows) {
    auto topLeft = window.getCurrentTopLeft();
    auto size = window.getCurrentSize();
    std::cout << window.getTitle() << '\t' << topLeft.x << ',' << topLeft.y << '\t' << size.width
              << 'x' << size.height << '\t' << "pid " << window.processIdentifier() << '\n';
  }
  return 0;
}

int showColor(char** argv) {
  int x = std::atoi(argv[2]), y = std::atoi(argv[3]);
  // Decimal or, as xwininfo prints it, hexadecimal ("0x1e00003").
  auto window = static_cast<std::int32_t>(std::strtol(argv[4], nullptr, 0));
  auto below = nuvdesktop::Pixelwatcher::colorUnderWindowAtPoint(
      {static_cast<double>(x), static_cast<double>(y)}, window);
  auto contrast = nuvdesktop::Pixelwatcher::getColor(x, y, window);
  std::cout << "below " << (below ? nuvdesktop::Pixelwatcher::hexStringForColor(*below) : "-")
            << " contrast "
            << (contrast ? nuvdesktop::Pixelwatcher::hexStringForColor(*contrast) : "-") << '\n';
  return below ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "trust") {
    std::cout << "accessibility trusted: "
              << (nuvdesktop::OrbAccessibility::isProcessTrusted() ? "yes" : "no") << '\n';
    return 0;
  }
  if (command == "windows") return listWindows(argc, argv);
  if (command == "color" && argc == 5) return showColor(argv);
  std::cerr << "usage: nuvdesktop-host trust | windows [PID] | color X Y WINDOW\n";
  return 2;
}
