#include "platform/linux/desktop/DesktopBackends.h"

#include "platform/DesktopServices.h"
#include "platform/linux/desktop/AtspiAccessibilityService.h"
#include "platform/linux/desktop/AtspiAccessibilityTrust.h"
#include "platform/linux/desktop/X11ScreenCapture.h"
#include "platform/linux/desktop/X11WindowSystem.h"

namespace nuv::linux_backend {

// The defaults are never destroyed: shared instances may use them until exit.

AccessibilityService& accessibilityService() {
  if (auto* installed = desktopServices().accessibility.load()) return *installed;
  static auto* service = new AtspiAccessibilityService(X11WindowSystem::shared());
  return *service;
}

AccessibilityTrust& accessibilityTrust() {
  if (auto* installed = desktopServices().trust.load()) return *installed;
  static auto* trust = new AtspiAccessibilityTrust;
  return *trust;
}

ScreenCapture& screenCapture() {
  if (auto* installed = desktopServices().screen.load()) return *installed;
  static auto* screen = new X11ScreenCapture(X11WindowSystem::shared());
  return *screen;
}

}  // namespace nuv::linux_backend
