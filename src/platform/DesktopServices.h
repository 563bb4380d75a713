#pragma once

#include <atomic>

namespace nuv {

class AccessibilityService;
class AccessibilityTrust;
class ScreenCapture;

// The desktop backends that the desktop utilities' shared state and shared
// instances use. The composition root (or a test) may install its own in the
// slots before the first use; an empty slot falls back to the platform's
// default backend. Installed objects must outlive every use.
class DesktopServices {
 public:
  // The platform's own backends: each function creates its backend on the
  // first call (thread-safe) and keeps it until the process ends.
  struct Defaults {
    AccessibilityService& (*accessibility)();
    AccessibilityTrust& (*trust)();
    ScreenCapture& (*screen)();
  };

  explicit DesktopServices(Defaults defaults) : defaults_(defaults) {}
  DesktopServices(const DesktopServices&) = delete;
  DesktopServices& operator=(const DesktopServices&) = delete;

  std::atomic<AccessibilityService*> accessibility{nullptr};
  std::atomic<AccessibilityTrust*> trust{nullptr};
  std::atomic<ScreenCapture*> screen{nullptr};

  // The backend in use: the installed one, else the default. Any thread.
  AccessibilityService& accessibilityService() const {
    auto* installed = accessibility.load();
    return installed ? *installed : defaults_.accessibility();
  }
  AccessibilityTrust& accessibilityTrust() const {
    auto* installed = trust.load();
    return installed ? *installed : defaults_.trust();
  }
  ScreenCapture& screenCapture() const {
    auto* installed = screen.load();
    return installed ? *installed : defaults_.screen();
  }

 private:
  const Defaults defaults_;
};

// The process-wide services. Defined by the library that links the desktop
// backends (on Linux: AT-SPI and X11), which fills in the defaults; linking
// the desktop utilities without it is a link error, not a run-time surprise.
DesktopServices& desktopServices();

}  // namespace nuv
