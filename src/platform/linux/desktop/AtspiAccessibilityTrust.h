#pragma once

#include "platform/AccessibilityTrust.h"

namespace nuv::linux_backend {

// Accessibility trust on an AT-SPI desktop: the trust state is the session
// switch org.a11y.Status.IsEnabled of the accessibility bus launcher
// (org.a11y.Bus on the session bus), and the announcement of a change is any
// PropertiesChanged signal of org.a11y.Status (the launcher also turns
// IsEnabled on implicitly with ScreenReaderEnabled). Requesting trust
// switches IsEnabled on, the way assistive tools ask the desktop to turn
// accessibility on; with no launcher on the bus the desktop's accessibility
// settings are opened instead (GNOME's universal-access panel, when
// installed).
//
// Calls use the shared session-bus connection and wait at most one second
// each; with no session bus every query answers false. Change callbacks run
// in the main context that was the thread default when observing began.
class AtspiAccessibilityTrust : public AccessibilityTrust {
 public:
  bool isProcessTrusted() override;
  bool canRequestTrust() override;
  void requestTrust() override;
  void openAccessibilitySettings() override;
  Subscription observeTrustChanges(std::function<void()> onChange) override;
};

}  // namespace nuv::linux_backend
