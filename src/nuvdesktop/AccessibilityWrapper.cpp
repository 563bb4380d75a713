// The public window wrapper over the desktop utility of the same name.

#include <nuvdesktop/AccessibilityWrapper.h>

#include "desktop/AccessibilityWrapper.h"
#include "platform/AccessibilityService.h"
#include "platform/DesktopServices.h"

namespace nuvdesktop {
namespace {

nuv::Point toNuv(Point p) { return {p.x, p.y}; }
Point fromNuv(nuv::Point p) { return {p.x, p.y}; }

}  // namespace

struct AccessibilityWrapper::Impl {
  Impl() = default;
  Impl(nuv::ElementRef app, nuv::ElementRef window) : wrapper(std::move(app), std::move(window)) {}
  nuv::AccessibilityWrapper wrapper;

  // The windows of application element `app` (at most 100), each wrapped with it.
  static std::vector<AccessibilityWrapper> windowsOf(const nuv::ElementRef& app) {
    std::vector<AccessibilityWrapper> out;
    if (!app) return out;
    for (const auto& window :
         nuv::AccessibilityWrapper::windowsInApp(app).value_or(nuv::ElementArray{})) {
      out.push_back(AccessibilityWrapper(std::make_shared<Impl>(app, window)));
    }
    return out;
  }
};

AccessibilityWrapper::AccessibilityWrapper() : impl_(std::make_shared<Impl>()) {}
AccessibilityWrapper::AccessibilityWrapper(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
AccessibilityWrapper::~AccessibilityWrapper() = default;
AccessibilityWrapper::AccessibilityWrapper(const AccessibilityWrapper&) = default;
AccessibilityWrapper& AccessibilityWrapper::operator=(const AccessibilityWrapper&) = default;

std::optional<AccessibilityWrapper> AccessibilityWrapper::windowUnderPoint(Point point) {
  nuv::ElementRef window = nuv::AccessibilityWrapper::windowUnderPoint(toNuv(point));
  if (!window) return std::nullopt;
  auto app = nuv::AccessibilityWrapper::applicationForElement(window);
  return AccessibilityWrapper(std::make_shared<Impl>(std::move(app), std::move(window)));
}

std::vector<AccessibilityWrapper> AccessibilityWrapper::windowsOfProcess(int pid) {
  return Impl::windowsOf(nuv::desktopServices().accessibilityService().createApplication(pid));
}

std::vector<AccessibilityWrapper> AccessibilityWrapper::windowsInApp() const {
  return Impl::windowsOf(impl_->wrapper.app());
}

bool AccessibilityWrapper::inited() const { return impl_->wrapper.inited(); }
std::string AccessibilityWrapper::getTitle() const { return impl_->wrapper.getTitle(); }
int AccessibilityWrapper::processIdentifier() const { return impl_->wrapper.processIdentifier(); }
Point AccessibilityWrapper::getCurrentTopLeft() const {
  return fromNuv(impl_->wrapper.getCurrentTopLeft());
}
Size AccessibilityWrapper::getCurrentSize() const {
  auto s = impl_->wrapper.getCurrentSize();
  return {s.width, s.height};
}
bool AccessibilityWrapper::isMinimizedOrHidden() const {
  return impl_->wrapper.isMinimizedOrHidden();
}
bool AccessibilityWrapper::isMovable() const { return impl_->wrapper.isMovable(); }
bool AccessibilityWrapper::isResizable() const { return impl_->wrapper.isResizable(); }
bool AccessibilityWrapper::moveWindow(Point topLeft) const {
  return impl_->wrapper.moveWindow(toNuv(topLeft));
}
bool AccessibilityWrapper::resizeWindow(Size size) const {
  return impl_->wrapper.resizeWindow({size.width, size.height});
}
bool AccessibilityWrapper::focus() const { return impl_->wrapper.focus(); }

}  // namespace nuvdesktop
