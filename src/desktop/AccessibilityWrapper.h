#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "platform/AccessibilityService.h"
#include "platform/Geometry.h"

namespace nuv {

class RunningApplication;

// One application and one of its windows as the desktop's accessibility
// service sees them, plus class operations that work on any application or
// window element. Failures give neutral results (null, false, 0, (0, 0),
// ""); nothing is logged or thrown.
//
// Ownership: a wrapper holds its own reference to `app` and `window`. What the
// default constructor found is released when the wrapper goes away; elements
// handed to the two-element constructor stay the caller's too.
//
// The service comes from desktopServices() (the AT-SPI backend unless one is
// installed). Use the class from the main loop thread: the AT-SPI backend's
// connection is served there. Only the first creation of the shared
// system-wide element is made safe for threads arriving at once.
class AccessibilityWrapper {
 public:
  // Wraps the focused application and its focused window; `inited` tells
  // whether a window was found.
  AccessibilityWrapper();
  // Wraps the given elements unchanged (null ones included); `inited` is true.
  AccessibilityWrapper(ElementRef app, ElementRef window);

  Point getCurrentTopLeft() const;
  Size getCurrentSize() const;
  bool moveWindow(Point topLeft) const;
  bool resizeWindow(Size size) const;
  bool focus() const;
  bool isMinimizedOrHidden() const;
  // Probe by writing the current position (size) back to the window: a
  // movable window really is moved to where it already is.
  bool isMovable() const;
  bool isResizable() const;
  std::string getTitle() const;
  int processIdentifier() const;

  ElementRef app() const;
  void setApp(ElementRef app);
  ElementRef window() const;
  void setWindow(ElementRef window);
  bool inited() const { return inited_.load(); }
  void setInited(bool inited) { inited_.store(inited); }

  // Class operations.
  static Point getTopLeftForWindow(const ElementRef& window);
  static Size getSizeForWindow(const ElementRef& window);
  static bool focusApp(const RunningApplication& app);
  static bool focusMainWindow(const RunningApplication& app);
  static bool focusWindow(const ElementRef& window);
  static int processIdentifierOfUIElement(const ElementRef& element);
  // At most the first 100 windows; absent on failure.
  static std::optional<ElementArray> windowsInApp(const ElementRef& app);
  static std::optional<ElementArray> windowsInRunningApp(const RunningApplication& app);
  static ElementRef focusedWindowInRunningApp(const RunningApplication& app);
  static bool isMainWindow(const ElementRef& window);
  static std::string getTitle(const ElementRef& element);
  static bool isWindowMinimizedOrHiddenInApp(const ElementRef& window, const ElementRef& app);
  // The window at a screen point: the element hit there when it is a window,
  // else the window that contains it; null when there is none.
  static ElementRef windowUnderPoint(Point point);
  // The application element of the element's process (process 0 when the
  // process cannot be read).
  static ElementRef applicationForElement(const ElementRef& element);
  static void createSystemWideElement();
  // Drops the shared system-wide element, for a composition root (or a test)
  // that replaces the accessibility service; the next use creates a new one.
  static void forgetSystemWideElement();
  static bool isWindow(const ElementRef& element);
  // Absent for a null element (without asking the service) or on failure.
  static std::optional<std::string> getRole(const ElementRef& element);

  static constexpr std::size_t kMaxWindows = 100;

 private:
  mutable std::mutex mutex_;
  ElementRef app_;     // guarded by mutex_
  ElementRef window_;  // guarded by mutex_
  std::atomic<bool> inited_{false};
};

}  // namespace nuv
