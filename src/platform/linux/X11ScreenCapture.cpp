#include "platform/linux/X11ScreenCapture.h"

#include "platform/linux/X11WindowSystem.h"

namespace nuv::linux_backend {

std::optional<double> X11ScreenCapture::mainScreenHeight() { return windows_.screenHeight(); }

std::optional<CapturedImage> X11ScreenCapture::captureBelowWindow(const Rect& rect,
                                                                  std::uint32_t windowNumber) {
  if (windowNumber == 0) return std::nullopt;
  return windows_.captureBelow(rect, windowNumber);
}

}  // namespace nuv::linux_backend
