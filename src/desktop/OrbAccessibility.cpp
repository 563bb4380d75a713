#include "desktop/OrbAccessibility.h"

#include "platform/AccessibilityTrust.h"
#include "platform/DesktopServices.h"
#include "platform/NotificationCenter.h"
#include "platform/ProcessServices.h"
#include "platform/RunLoop.h"

namespace nuv {

OrbAccessibility::OrbAccessibility(AccessibilityTrust& trust, RunLoop& mainQueue,
                                   NotificationCenter& localCenter)
    : trust_(trust), mainQueue_(mainQueue), localCenter_(localCenter) {}

OrbAccessibility::~OrbAccessibility() = default;

std::shared_ptr<OrbAccessibility> OrbAccessibility::make(AccessibilityTrust& trust,
                                                         RunLoop& mainQueue,
                                                         NotificationCenter& localCenter) {
  return std::shared_ptr<OrbAccessibility>(new OrbAccessibility(trust, mainQueue, localCenter));
}

std::shared_ptr<OrbAccessibility> OrbAccessibility::singleton() {
  // Deliberately never destroyed: queued recaches and the backend's signal
  // delivery may still refer to it while static destructors run.
  static auto* instance = new std::shared_ptr<OrbAccessibility>(
      make(desktopServices().accessibilityTrust(), *processServices().mainLoop,
           *processServices().localCenter));
  return *instance;
}

void OrbAccessibility::setup() { setup(*singleton()); }

void OrbAccessibility::setup(OrbAccessibility& instance) {
  std::weak_ptr<OrbAccessibility> weak = instance.weak_from_this();
  Subscription observation = instance.trust_.observeTrustChanges([weak] {
    if (auto self = weak.lock()) self->accessibilityChanged();
  });
  {
    std::lock_guard lock(instance.mutex_);
    instance.observation_ = std::move(observation);
  }
  instance.recache();
}

bool OrbAccessibility::isEnabled(AccessibilityTrust& trust) { return trust.isProcessTrusted(); }

void OrbAccessibility::openPanel() { openPanel(desktopServices().accessibilityTrust()); }

void OrbAccessibility::openPanel(AccessibilityTrust& trust) {
  if (trust.canRequestTrust()) {
    trust.requestTrust();
  } else {
    trust.openAccessibilitySettings();
  }
}

void OrbAccessibility::recache() {
  localCenter_.postNotification(Notification{kCacheNotification, "", {}});
  isEnabled_.store(isEnabled(trust_));
  if (isEnabled_.load()) clear();
}

void OrbAccessibility::accessibilityChanged() {
  mainQueue_.postDelayed(kRecacheDelay, [self = shared_from_this()] { self->recache(); });
}

void OrbAccessibility::clear() {
  // The instance observes nothing on the in-process centre, so ending the
  // announcement subscription is the whole of it. The subscription is reset
  // outside the lock: its cancel action may wait for a delivery in flight.
  Subscription ended;
  {
    std::lock_guard lock(mutex_);
    ended = std::move(observation_);
  }
}

bool OrbAccessibility::isObserving() const {
  std::lock_guard lock(mutex_);
  return observation_.active();
}

}  // namespace nuv
