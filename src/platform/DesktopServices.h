#pragma once

#include <atomic>

namespace nuv {

class AccessibilityService;
class AccessibilityTrust;
class ScreenCapture;

// The desktop backends that the desktop utilities' shared state and shared
// instances use. The composition root (or a test) may install its own before
// the first use; a slot left empty is filled with the Linux backend on first
// use. Installed objects must outlive every use.
struct DesktopServices {
  std::atomic<AccessibilityService*> accessibility{nullptr};
  std::atomic<AccessibilityTrust*> trust{nullptr};
  std::atomic<ScreenCapture*> screen{nullptr};
};

DesktopServices& desktopServices();

}  // namespace nuv
