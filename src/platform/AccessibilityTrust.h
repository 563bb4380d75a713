#pragma once

#include <functional>

#include "platform/Subscription.h"

namespace nuv {

// Whether this process may use the desktop's accessibility service, and the
// desktop's announcement that this changed.
class AccessibilityTrust {
 public:
  virtual ~AccessibilityTrust() = default;

  // The live trust state. Never asks the user anything.
  virtual bool isProcessTrusted() = 0;
  // True when the desktop offers a direct way to request trust.
  virtual bool canRequestTrust() = 0;
  // Asks the desktop to grant trust; the answer is not awaited.
  virtual void requestTrust() = 0;
  // Opens the desktop's accessibility settings, where there are any.
  // Failures are ignored.
  virtual void openAccessibilitySettings() = 0;
  // Calls `onChange` (on the main loop thread) each time the desktop
  // announces that the trust settings changed. The content of the
  // announcement is not passed on.
  virtual Subscription observeTrustChanges(std::function<void()> onChange) = 0;
};

}  // namespace nuv
