#pragma once

namespace nuv {
class AccessibilityService;
class AccessibilityTrust;
class ScreenCapture;
}  // namespace nuv

namespace nuv::linux_backend {

// The desktop backends in use: what desktopServices() holds, or else the
// process-wide AT-SPI / X11 backend, created on first use (thread-safe) and
// kept until the process ends.
AccessibilityService& accessibilityService();
AccessibilityTrust& accessibilityTrust();
ScreenCapture& screenCapture();

}  // namespace nuv::linux_backend
