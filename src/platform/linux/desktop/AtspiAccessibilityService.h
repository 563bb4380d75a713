#pragma once

#include <memory>
#include <mutex>

#include "platform/AccessibilityService.h"

namespace nuv::linux_backend {

class X11WindowSystem;

// The accessibility service on AT-SPI2 (libatspi). Elements wrap AtspiAccessible
// objects; an application element made from a process identifier finds its
// application each time it is used. Positions and sizes are AtspiComponent
// extents in screen coordinates. Where a toolkit does not let assistive tools
// move, resize or activate its windows (GTK 3 among them), the window's X11
// window, matched by process, title and geometry, is configured instead; the
// same X11 stacking order decides which window is on top in hit tests.
//
// States, names and children are read afresh each time, so a change made
// since the last call is seen even when no main loop serves AT-SPI events.
// Calls are serialised; each inter-process call waits for a bounded time.
// libatspi serves its bus connection from the default main context, so the
// service is meant for the thread that runs that context (the main loop).
class AtspiAccessibilityService : public AccessibilityService {
 public:
  explicit AtspiAccessibilityService(X11WindowSystem& windows);
  ~AtspiAccessibilityService() override;

  ElementRef createSystemWide() override;
  ElementRef createApplication(int pid) override;
  AXStatus copyAttributeValue(const ElementRef& element, AXAttribute attribute,
                              AXValue& out) override;
  AXStatus setAttributeValue(const ElementRef& element, AXAttribute attribute,
                             const AXValue& value) override;
  AXStatus getPid(const ElementRef& element, int& pid) override;
  AXStatus copyElementAtPosition(const ElementRef& element, float x, float y,
                                 ElementRef& out) override;
  bool bringFrontWindowForward(int pid) override;

 private:
  struct Impl;
  std::mutex mutex_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nuv::linux_backend
