// The public window wrapper over the desktop utility of the same name.

#include <nuvdesktop/AccessibilityWrapper.h>

#include "desktop/AccessibilityWrapper.h"
#include "platform/Workspace.h"

namespace nuvdesktop {
namespace {

nuv::Point toNuv(Point p) { return {p.x, p.y}; }
Point fromNuv(nuv::Point p) { return {p.x, p.y}; }

// A process known only by its identifier.
class ProcessById : public nuv::RunningApplication {
 public:
  explicit ProcessById(int pid) : pid_(pid) {}
  int processIdentifier() const override { return pid_; }
  std::optional<std::string> bundleIdentifier() const override { return std::nullopt; }
  bool terminate() override { return false; }

 private:
  int pid_;
};

}  // namespace

struct AccessibilityWrapper::Impl {
  Impl() = default;
  Impl(nuv::ElementRef app, nuv::ElementRef window) : wrapper(std::move(app), std::move(window)) {}
  nuv::AccessibilityWrapper wrapper;
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
  ProcessById process(pid);
  std::vector<AccessibilityWrapper> out;
  auto windows = nuv::AccessibilityWrapper::windowsInRunningApp(process);
  if (!windows) return out;
  for (const auto& window : *windows) {
    out.push_back(AccessibilityWrapper(
        std::make_shared<Impl>(nuv::AccessibilityWrapper::applicationForElement(window), window)));
  }
  return out;
}

std::vector<AccessibilityWrapper> AccessibilityWrapper::windowsInApp() const {
  std::vector<AccessibilityWrapper> out;
  auto app = impl_->wrapper.app();
  if (!app) return out;
  auto windows = nuv::AccessibilityWrapper::windowsInApp(app);
  if (!windows) return out;
  for (const auto& window : *windows) {
    out.push_back(AccessibilityWrapper(std::make_shared<Impl>(app, window)));
  }
  return out;
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
