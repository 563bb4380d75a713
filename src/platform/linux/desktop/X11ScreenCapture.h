#pragma once

#include "platform/ScreenCapture.h"

namespace nuv::linux_backend {

class X11WindowSystem;

// The screen of the X server of $DISPLAY. The main screen is the X screen
// (all monitors together); what lies below a window is composed from the
// off-screen copies that the Composite extension keeps of every top-level
// window, so windows covered by the given one are read as they are drawn.
class X11ScreenCapture : public ScreenCapture {
 public:
  explicit X11ScreenCapture(X11WindowSystem& windows) : windows_(windows) {}

  std::optional<double> mainScreenHeight() override;
  std::optional<CapturedImage> captureBelowWindow(const Rect& rect,
                                                  std::uint32_t windowNumber) override;

 private:
  X11WindowSystem& windows_;
};

}  // namespace nuv::linux_backend
