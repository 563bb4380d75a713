#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Geometry.h"
#include "platform/ScreenCapture.h"

typedef struct xcb_connection_t xcb_connection_t;

namespace nuv::linux_backend {

// A window managed at the top of the X window tree.
struct TopLevelWindow {
  std::uint32_t frame = 0;   // the root's child: what is stacked and drawn
  std::uint32_t client = 0;  // the application's window (the frame itself without a manager)
  int pid = 0;               // _NET_WM_PID; 0 when not set
  std::string name;          // _NET_WM_NAME, else WM_NAME
  Rect frameRect;            // outer rectangle (border included), root coordinates
  bool viewable = false;
};

// The X server of $DISPLAY, through one XCB connection that is kept for the
// life of the process (it also holds the Composite redirection that keeps
// the contents of covered windows readable). Every X error is answered as a
// failed result; nothing ends the process. Thread-safe: calls are serialised.
class X11WindowSystem {
 public:
  X11WindowSystem();
  ~X11WindowSystem();
  X11WindowSystem(const X11WindowSystem&) = delete;
  X11WindowSystem& operator=(const X11WindowSystem&) = delete;

  // The process-wide instance (never destroyed).
  static X11WindowSystem& shared();

  // True when $DISPLAY could be opened.
  bool available();
  // The root's mapped and unmapped children, bottom to top.
  std::vector<TopLevelWindow> stackingOrder();
  bool moveWindow(std::uint32_t client, Point topLeft);
  bool resizeWindow(std::uint32_t client, Size size);
  // Raises the window and gives it the input focus (through the window
  // manager when there is one).
  bool activate(std::uint32_t client);
  std::optional<double> screenHeight();
  // What the viewable top-level windows stacked below `window` (which may be
  // a top-level window or any window inside one) show within `rect`,
  // composed bottom to top over the root's wallpaper (black without one).
  // Absent when `window` does not exist or the capture failed.
  std::optional<CapturedImage> captureBelow(const Rect& rect, std::uint32_t window);

 private:
  struct Connection;
  bool connectLocked();
  std::vector<TopLevelWindow> stackingOrderLocked();
  // Composes what lies below the root's child `top` within `rect`.
  std::optional<CapturedImage> composeBelowLocked(const Rect& rect, std::uint32_t top);

  std::mutex mutex_;
  std::unique_ptr<Connection> conn_;
};

}  // namespace nuv::linux_backend
