// desktopServices() for Linux: the AT-SPI and X11 backends are the defaults.

#include "platform/DesktopServices.h"
#include "platform/linux/desktop/AtspiAccessibilityService.h"
#include "platform/linux/desktop/AtspiAccessibilityTrust.h"
#include "platform/linux/desktop/X11ScreenCapture.h"
#include "platform/linux/desktop/X11WindowSystem.h"

namespace nuv {
namespace {

// The defaults are never destroyed: shared instances may use them until exit.

AccessibilityService& atspiAccessibilityService() {
  static auto* service =
      new linux_backend::AtspiAccessibilityService(linux_backend::X11WindowSystem::shared());
  return *service;
}

AccessibilityTrust& atspiAccessibilityTrust() {
  static auto* trust = new linux_backend::AtspiAccessibilityTrust;
  return *trust;
}

ScreenCapture& x11ScreenCapture() {
  static auto* screen =
      new linux_backend::X11ScreenCapture(linux_backend::X11WindowSystem::shared());
  return *screen;
}

}  // namespace

DesktopServices& desktopServices() {
  static DesktopServices services(DesktopServices::Defaults{
      atspiAccessibilityService, atspiAccessibilityTrust, x11ScreenCapture});
  return services;
}

}  // namespace nuv
