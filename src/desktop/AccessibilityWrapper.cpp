#include "desktop/AccessibilityWrapper.h"

#include "platform/DesktopServices.h"
#include "platform/Workspace.h"

namespace nuv {

namespace {

AccessibilityService& service() { return desktopServices().accessibilityService(); }

// The shared system-wide element. Created once per service and then kept for
// the life of the process; it is re-created only when a different service is
// installed (a test swapping backends).
struct SystemWide {
  std::mutex mutex;
  AccessibilityService* owner = nullptr;
  ElementRef element;
};

SystemWide& systemWide() {
  static auto* shared = new SystemWide;  // never destroyed: used until exit
  return *shared;
}

ElementRef systemWideElement() {
  AccessibilityService& svc = service();
  SystemWide& shared = systemWide();
  std::lock_guard lock(shared.mutex);
  if (!shared.element || shared.owner != &svc) {
    shared.element = svc.createSystemWide();
    shared.owner = &svc;
  }
  return shared.element;
}

ElementRef copyElement(const ElementRef& element, AXAttribute attribute) {
  AXValue value;
  if (service().copyAttributeValue(element, attribute, value) != AXStatus::Success) return nullptr;
  if (auto* e = std::get_if<ElementRef>(&value)) return *e;
  return nullptr;
}

bool setTrue(const ElementRef& element, AXAttribute attribute) {
  return service().setAttributeValue(element, attribute, AXValue{true}) == AXStatus::Success;
}

// A failed read, or a value that is not a boolean, counts as false.
bool readBool(const ElementRef& element, AXAttribute attribute) {
  AXValue value;
  if (service().copyAttributeValue(element, attribute, value) != AXStatus::Success) return false;
  auto* b = std::get_if<bool>(&value);
  return b && *b;
}

}  // namespace

AccessibilityWrapper::AccessibilityWrapper() {
  ElementRef system = systemWideElement();
  app_ = copyElement(system, AXAttribute::FocusedApplication);
  window_ = copyElement(app_, AXAttribute::FocusedWindow);
  inited_.store(window_ != nullptr);
}

AccessibilityWrapper::AccessibilityWrapper(ElementRef app, ElementRef window)
    : app_(std::move(app)), window_(std::move(window)) {
  createSystemWideElement();
  inited_.store(true);
}

ElementRef AccessibilityWrapper::app() const {
  std::lock_guard lock(mutex_);
  return app_;
}
void AccessibilityWrapper::setApp(ElementRef app) {
  std::lock_guard lock(mutex_);
  app_ = std::move(app);
}
ElementRef AccessibilityWrapper::window() const {
  std::lock_guard lock(mutex_);
  return window_;
}
void AccessibilityWrapper::setWindow(ElementRef window) {
  std::lock_guard lock(mutex_);
  window_ = std::move(window);
}

Point AccessibilityWrapper::getCurrentTopLeft() const { return getTopLeftForWindow(window()); }
Size AccessibilityWrapper::getCurrentSize() const { return getSizeForWindow(window()); }

bool AccessibilityWrapper::moveWindow(Point topLeft) const {
  return service().setAttributeValue(window(), AXAttribute::Position, AXValue{topLeft}) ==
         AXStatus::Success;
}

bool AccessibilityWrapper::resizeWindow(Size size) const {
  return service().setAttributeValue(window(), AXAttribute::Size, AXValue{size}) ==
         AXStatus::Success;
}

bool AccessibilityWrapper::focus() const { return focusWindow(window()); }

bool AccessibilityWrapper::isMinimizedOrHidden() const {
  return isWindowMinimizedOrHiddenInApp(window(), app());
}

bool AccessibilityWrapper::isMovable() const { return moveWindow(getCurrentTopLeft()); }
bool AccessibilityWrapper::isResizable() const { return resizeWindow(getCurrentSize()); }
std::string AccessibilityWrapper::getTitle() const { return getTitle(window()); }
int AccessibilityWrapper::processIdentifier() const { return processIdentifierOfUIElement(app()); }

Point AccessibilityWrapper::getTopLeftForWindow(const ElementRef& window) {
  AXValue value;
  if (service().copyAttributeValue(window, AXAttribute::Position, value) != AXStatus::Success) {
    return {};
  }
  if (auto* p = std::get_if<Point>(&value)) return *p;
  return {};
}

Size AccessibilityWrapper::getSizeForWindow(const ElementRef& window) {
  AXValue value;
  if (service().copyAttributeValue(window, AXAttribute::Size, value) != AXStatus::Success) {
    return {};
  }
  if (auto* s = std::get_if<Size>(&value)) return *s;
  return {};
}

bool AccessibilityWrapper::focusApp(const RunningApplication& app) {
  ElementRef element = service().createApplication(app.processIdentifier());
  return setTrue(element, AXAttribute::Frontmost);
}

bool AccessibilityWrapper::focusMainWindow(const RunningApplication& app) {
  int pid = app.processIdentifier();
  ElementRef window = copyElement(service().createApplication(pid), AXAttribute::FocusedWindow);
  if (!window) return focusApp(app);
  bool result = setTrue(window, AXAttribute::Main);
  service().bringFrontWindowForward(pid);
  return result;
}

bool AccessibilityWrapper::focusWindow(const ElementRef& window) {
  bool result = setTrue(window, AXAttribute::Main);
  // Bringing the process forward is best effort; it does not change the result.
  service().bringFrontWindowForward(processIdentifierOfUIElement(window));
  return result;
}

int AccessibilityWrapper::processIdentifierOfUIElement(const ElementRef& element) {
  createSystemWideElement();
  int pid = 0;
  if (service().getPid(element, pid) != AXStatus::Success) return 0;
  return pid;
}

std::optional<ElementArray> AccessibilityWrapper::windowsInApp(const ElementRef& app) {
  createSystemWideElement();
  ElementArray windows;
  if (service().copyAttributeValues(app, AXAttribute::Windows, 0, kMaxWindows, windows) !=
      AXStatus::Success) {
    return std::nullopt;
  }
  // The service is asked for no more than the cap; a backend that answers
  // with more is cut here so that the cap holds whatever it does.
  if (windows.size() > kMaxWindows) windows.resize(kMaxWindows);
  return windows;
}

std::optional<ElementArray> AccessibilityWrapper::windowsInRunningApp(
    const RunningApplication& app) {
  return windowsInApp(service().createApplication(app.processIdentifier()));
}

ElementRef AccessibilityWrapper::focusedWindowInRunningApp(const RunningApplication& app) {
  return copyElement(service().createApplication(app.processIdentifier()),
                     AXAttribute::FocusedWindow);
}

bool AccessibilityWrapper::isMainWindow(const ElementRef& window) {
  createSystemWideElement();
  return readBool(window, AXAttribute::Main);
}

std::string AccessibilityWrapper::getTitle(const ElementRef& element) {
  createSystemWideElement();
  AXValue value;
  if (service().copyAttributeValue(element, AXAttribute::Title, value) != AXStatus::Success) {
    return "";
  }
  if (auto* s = std::get_if<std::string>(&value)) return *s;
  return "";
}

bool AccessibilityWrapper::isWindowMinimizedOrHiddenInApp(const ElementRef& window,
                                                          const ElementRef& app) {
  createSystemWideElement();
  // Both attributes are always read, the application's first.
  bool hidden = readBool(app, AXAttribute::Hidden);
  bool minimized = readBool(window, AXAttribute::Minimized);
  return hidden || minimized;
}

ElementRef AccessibilityWrapper::windowUnderPoint(Point point) {
  ElementRef system = systemWideElement();
  ElementRef hit;
  if (service().copyElementAtPosition(system, static_cast<float>(point.x),
                                      static_cast<float>(point.y), hit) != AXStatus::Success ||
      !hit) {
    return nullptr;
  }
  if (isWindow(hit)) return hit;
  return copyElement(hit, AXAttribute::Window);
}

ElementRef AccessibilityWrapper::applicationForElement(const ElementRef& element) {
  return service().createApplication(processIdentifierOfUIElement(element));
}

void AccessibilityWrapper::createSystemWideElement() { systemWideElement(); }

void AccessibilityWrapper::forgetSystemWideElement() {
  SystemWide& shared = systemWide();
  std::lock_guard lock(shared.mutex);
  shared.element.reset();
  shared.owner = nullptr;
}

bool AccessibilityWrapper::isWindow(const ElementRef& element) {
  AXValue value;
  if (service().copyAttributeValue(element, AXAttribute::Role, value) != AXStatus::Success) {
    return false;
  }
  auto* role = std::get_if<std::string>(&value);
  return role && *role == kWindowRole;
}

std::optional<std::string> AccessibilityWrapper::getRole(const ElementRef& element) {
  if (!element) return std::nullopt;
  AXValue value;
  if (service().copyAttributeValue(element, AXAttribute::Role, value) != AXStatus::Success) {
    return std::nullopt;
  }
  if (auto* s = std::get_if<std::string>(&value)) return *s;
  return std::nullopt;
}

}  // namespace nuv
