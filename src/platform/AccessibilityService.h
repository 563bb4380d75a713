#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/Geometry.h"

namespace nuv {

// One node of the desktop's accessibility tree: the whole system, an
// application, a window or a control inside it. Opaque: each backend derives
// its own element type. Shared ownership stands in for the create/copy rule:
// whoever holds a reference keeps the element alive, and the last holder
// releases it. An element may go stale (its application quit); operations on
// it then fail with a status, never crash.
class AccessibilityElement {
 public:
  virtual ~AccessibilityElement() = default;
};

using ElementRef = std::shared_ptr<AccessibilityElement>;
using ElementArray = std::vector<ElementRef>;

// A platform status: only Success is success.
enum class AXStatus : int {
  Success = 0,
  Failure,               // the service failed the call
  IllegalArgument,       // null element, wrong value type
  InvalidElement,        // the element is stale
  AttributeUnsupported,  // the element has no such attribute / it cannot be set
  NoValue,               // the attribute exists but has no value now
  CannotComplete,        // the service could not be reached
};

enum class AXAttribute {
  Position,            // Point: top-left corner, screen coordinates (settable on windows)
  Size,                // Size (settable on windows)
  FocusedWindow,       // ElementRef: an application's focused window
  Frontmost,           // bool: an application is the active one (settable to true)
  Main,                // bool: a window is its application's main window (settable to true)
  Hidden,              // bool: an application is hidden
  Minimized,           // bool: a window is minimized (iconified)
  Role,                // string; windows answer kWindowRole
  Title,               // string
  Window,              // ElementRef: the window that contains an element
  FocusedApplication,  // ElementRef: on the system-wide element, the active application
  Windows,             // ElementArray: an application's windows
};

// The role of a top-level window, whatever the toolkit calls it.
inline constexpr std::string_view kWindowRole = "window";

using AXValue =
    std::variant<std::monostate, bool, std::string, Point, Size, ElementRef, ElementArray>;

// The desktop's accessibility service. Calls are synchronous and may block on
// inter-process calls for a bounded time. Implementations serialise their own
// use, so calls may come from any thread.
class AccessibilityService {
 public:
  virtual ~AccessibilityService() = default;

  // An element standing for the whole system (hit tests, the active application).
  virtual ElementRef createSystemWide() = 0;
  // An application element for any process identifier, 0 included; whether
  // such an application exists is found out only when the element is used.
  virtual ElementRef createApplication(int pid) = 0;

  // Reads one attribute. On success `out` holds the value (a new reference
  // for elements and arrays).
  virtual AXStatus copyAttributeValue(const ElementRef& element, AXAttribute attribute,
                                      AXValue& out) = 0;
  // Reads at most `maxCount` values of an array attribute from `index` on.
  // By default a slice of what copyAttributeValue reads.
  virtual AXStatus copyAttributeValues(const ElementRef& element, AXAttribute attribute,
                                       std::size_t index, std::size_t maxCount, ElementArray& out) {
    AXValue value;
    AXStatus status = copyAttributeValue(element, attribute, value);
    if (status != AXStatus::Success) return status;
    auto* array = std::get_if<ElementArray>(&value);
    if (!array) return AXStatus::IllegalArgument;
    out.clear();
    for (std::size_t i = index; i < array->size() && out.size() < maxCount; ++i) {
      out.push_back((*array)[i]);
    }
    return AXStatus::Success;
  }
  virtual AXStatus setAttributeValue(const ElementRef& element, AXAttribute attribute,
                                     const AXValue& value) = 0;
  virtual AXStatus getPid(const ElementRef& element, int& pid) = 0;
  // Hit test at a screen point on the system-wide (or an application)
  // element: the deepest element found there.
  virtual AXStatus copyElementAtPosition(const ElementRef& element, float x, float y,
                                         ElementRef& out) = 0;
  // Brings only the front window of process `pid` forward. False when the
  // process has no window or the window system refused.
  virtual bool bringFrontWindowForward(int pid) = 0;
};

}  // namespace nuv
