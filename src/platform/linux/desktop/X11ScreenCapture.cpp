#include "platform/linux/desktop/X11ScreenCapture.h"

#include "platform/linux/desktop/X11WindowSystem.h"

namespace nuv::linux_backend {

std::optional<double> X11ScreenCapture::mainScreenHeight() { return windows_.screenHeight(); }

std::optional<CapturedImage> X11ScreenCapture::captureBelowWindow(const Rect& rect,
                                                                  std::uint32_t windowNumber) {
  if (windowNumber == 0) return std::nullopt;
  return windows_.captureBelow(rect, windowNumber);
}

}  // namespace nuv::linux_backend
