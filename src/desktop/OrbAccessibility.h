#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "platform/Subscription.h"

namespace nuv {

class AccessibilityTrust;
class NotificationCenter;
class RunLoop;

// Keeps track of whether this process is trusted to use the accessibility
// service, asks the user for that trust on request, and, until trust is
// found, follows the desktop's announcements that the trust settings changed.
// Each re-read of the trust state is preceded by the in-process notification
// "AXxache" (posted before the read, so an observer still sees the old value).
//
// Threading: setup, recache, clear and openPanel run on the caller's thread;
// a recache caused by an announcement runs on the main loop thread, 150 ms
// after the announcement. The cached state is atomic.
class OrbAccessibility : public std::enable_shared_from_this<OrbAccessibility> {
 public:
  static constexpr const char* kCacheNotification = "AXxache";
  static constexpr std::chrono::milliseconds kRecacheDelay{150};

  // `trust`, `mainQueue` and `localCenter` must outlive the instance.
  static std::shared_ptr<OrbAccessibility> make(AccessibilityTrust& trust, RunLoop& mainQueue,
                                                NotificationCenter& localCenter);
  ~OrbAccessibility();
  OrbAccessibility(const OrbAccessibility&) = delete;
  OrbAccessibility& operator=(const OrbAccessibility&) = delete;

  // The shared instance, created once on first use (any thread) on
  // processServices()' main loop and in-process centre ("AXxache" is posted
  // there), which the composition root must have installed, and on the
  // desktop's trust backend. Lives until the process ends.
  static std::shared_ptr<OrbAccessibility> singleton();
  // Starts following the announcements with the shared instance, then has it
  // re-read the trust state (which ends the observation at once when the
  // process is trusted already).
  static void setup();
  static void setup(OrbAccessibility& instance);
  // The live trust state; never prompts.
  static bool isEnabled(AccessibilityTrust& trust);
  // Asks the user to grant trust: through the desktop's own request when it
  // has one, else by opening its accessibility settings.
  static void openPanel();
  static void openPanel(AccessibilityTrust& trust);

  // Posts "AXxache", re-reads the trust state, and ends the observation once
  // the process is trusted.
  void recache();
  // Observer of the trust-change announcement: schedules a recache 150 ms
  // later on the main loop. The queued step keeps the instance alive.
  void accessibilityChanged();
  // Ends the observation.
  void clear();

  // The trust state as last read by recache; false before the first.
  bool isEnabled() const { return isEnabled_.load(); }
  void setIsEnabled(bool enabled) { isEnabled_.store(enabled); }
  // True while the announcements are followed.
  bool isObserving() const;

 private:
  OrbAccessibility(AccessibilityTrust& trust, RunLoop& mainQueue, NotificationCenter& localCenter);

  AccessibilityTrust& trust_;
  RunLoop& mainQueue_;
  NotificationCenter& localCenter_;
  std::atomic<bool> isEnabled_{false};
  mutable std::mutex mutex_;
  Subscription observation_;  // guarded by mutex_
};

}  // namespace nuv
