// The public accessibility permission over the desktop utility of the same
// name, on the GLib default main context and an in-process centre of the
// library's own.

#include <nuvdesktop/OrbAccessibility.h>

#include "desktop/OrbAccessibility.h"
#include "platform/DesktopServices.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/runtime/GlibRunLoop.h"

namespace nuvdesktop {
namespace {

// Never destroyed: queued recaches may still use them while static
// destructors run. Created on the first use, on the host's main thread.
nuv::linux_backend::GlibRunLoop& mainLoop() {
  static auto* loop = new nuv::linux_backend::GlibRunLoop;
  return *loop;
}

nuv::LocalNotificationCenter& localCenter() {
  static auto* center = new nuv::LocalNotificationCenter;
  return *center;
}

}  // namespace

struct OrbAccessibility::Impl {
  std::shared_ptr<nuv::OrbAccessibility> orb;
  // Shared with the queued reports, which drop out once the instance is gone.
  std::shared_ptr<std::function<void(bool)>> onChange;
  nuv::Subscription cacheObserver;
};

OrbAccessibility::OrbAccessibility(std::function<void(bool enabled)> onChange)
    : impl_(std::make_unique<Impl>()) {
  auto& loop = mainLoop();
  impl_->orb =
      nuv::OrbAccessibility::make(nuv::desktopServices().accessibilityTrust(), loop, localCenter());
  impl_->onChange = std::make_shared<std::function<void(bool)>>(std::move(onChange));
  // The cache notification comes before each read: the report goes to the
  // loop, so it sees the state just read.
  std::weak_ptr<nuv::OrbAccessibility> weakOrb = impl_->orb;
  std::weak_ptr<std::function<void(bool)>> weakChange = impl_->onChange;
  impl_->cacheObserver =
      localCenter().addObserver(nuv::OrbAccessibility::kCacheNotification,
                                [&loop, weakOrb, weakChange](const nuv::Notification&) {
                                  if (weakOrb.expired()) return;
                                  loop.post([weakOrb, weakChange] {
                                    auto orb = weakOrb.lock();
                                    auto change = weakChange.lock();
                                    if (orb && change && *change) (*change)(orb->isEnabled());
                                  });
                                });
  nuv::OrbAccessibility::setup(*impl_->orb);
}

OrbAccessibility::~OrbAccessibility() {
  impl_->cacheObserver.reset();
  impl_->orb->clear();
}

bool OrbAccessibility::isEnabled() const { return impl_->orb->isEnabled(); }

bool OrbAccessibility::isObserving() const { return impl_->orb->isObserving(); }

void OrbAccessibility::recache() { impl_->orb->recache(); }

bool OrbAccessibility::isProcessTrusted() {
  return nuv::OrbAccessibility::isEnabled(nuv::desktopServices().accessibilityTrust());
}

void OrbAccessibility::openPanel() { nuv::OrbAccessibility::openPanel(); }

}  // namespace nuvdesktop
