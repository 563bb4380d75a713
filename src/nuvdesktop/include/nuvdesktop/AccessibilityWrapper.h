#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nuvdesktop/Export.h>
#include <nuvdesktop/Types.h>

namespace nuvdesktop {

// One application window as the desktop's accessibility service (AT-SPI)
// sees it. Failures give neutral results (false, 0, (0, 0), ""); nothing is
// thrown. A wrapper whose window closed keeps answering neutrally. Copies
// share the window. Use wrappers from one thread at a time.
class NUVDESKTOP_EXPORT AccessibilityWrapper {
 public:
  // The focused application's focused window; inited() tells whether there
  // was one.
  AccessibilityWrapper();
  ~AccessibilityWrapper();
  AccessibilityWrapper(const AccessibilityWrapper&);
  AccessibilityWrapper& operator=(const AccessibilityWrapper&);

  // The window at a screen point (origin at the top-left); absent when there
  // is none.
  static std::optional<AccessibilityWrapper> windowUnderPoint(Point point);
  // The windows of process `pid` (at most 100).
  static std::vector<AccessibilityWrapper> windowsOfProcess(int pid);
  // The windows of this window's application (at most 100), this one
  // included.
  std::vector<AccessibilityWrapper> windowsInApp() const;

  bool inited() const;
  std::string getTitle() const;
  int processIdentifier() const;
  Point getCurrentTopLeft() const;
  Size getCurrentSize() const;
  bool isMinimizedOrHidden() const;
  // Whether the window can be moved (resized): found out by writing its
  // current position (size) back to it.
  bool isMovable() const;
  bool isResizable() const;
  bool moveWindow(Point topLeft) const;
  bool resizeWindow(Size size) const;
  // Raises the window and makes it its application's focused window.
  bool focus() const;

 private:
  struct Impl;
  explicit AccessibilityWrapper(std::shared_ptr<Impl> impl);
  std::shared_ptr<Impl> impl_;
};

}  // namespace nuvdesktop
