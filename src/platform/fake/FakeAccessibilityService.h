#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/AccessibilityService.h"

namespace nuv::fake {

// One element of the fake accessibility tree. Attributes present in
// `attributes` read successfully; the others fail. Writes succeed for
// attributes in `settable` and store the value.
class FakeElement : public AccessibilityElement {
 public:
  std::map<AXAttribute, AXValue> attributes;
  std::set<AXAttribute> settable;
  std::optional<int> pid;  // absent: the element is stale, getPid fails
  std::vector<AXAttribute> reads;
  std::vector<std::pair<AXAttribute, AXValue>> writes;
};

// An in-memory accessibility service. Applications are registered by process
// identifier; createApplication for any other identifier gives a fresh,
// empty element.
class FakeAccessibilityService : public AccessibilityService {
 public:
  std::shared_ptr<FakeElement> systemWide = std::make_shared<FakeElement>();
  std::map<int, std::shared_ptr<FakeElement>> applications;
  // Hit test result for copyElementAtPosition; null gives NoValue.
  std::function<ElementRef(float, float)> hitTest;
  AXStatus hitStatus = AXStatus::Success;

  int systemWideCreations = 0;
  std::vector<int> broughtForward;
  std::vector<std::pair<std::size_t, std::size_t>> sliceRequests;  // (index, maxCount)

  std::shared_ptr<FakeElement> addApplication(int pid) {
    auto app = std::make_shared<FakeElement>();
    app->pid = pid;
    applications[pid] = app;
    return app;
  }

  static std::shared_ptr<FakeElement> window(const std::string& title, int pid) {
    auto w = std::make_shared<FakeElement>();
    w->pid = pid;
    w->attributes[AXAttribute::Role] = std::string(kWindowRole);
    w->attributes[AXAttribute::Title] = title;
    return w;
  }

  ElementRef createSystemWide() override {
    ++systemWideCreations;
    return systemWide;
  }

  ElementRef createApplication(int pid) override {
    auto it = applications.find(pid);
    if (it != applications.end()) return it->second;
    auto e = std::make_shared<FakeElement>();
    e->pid = pid;
    return e;
  }

  AXStatus copyAttributeValue(const ElementRef& element, AXAttribute attribute,
                              AXValue& out) override {
    auto* e = dynamic_cast<FakeElement*>(element.get());
    if (!e) return AXStatus::IllegalArgument;
    e->reads.push_back(attribute);
    auto it = e->attributes.find(attribute);
    if (it == e->attributes.end()) return AXStatus::AttributeUnsupported;
    out = it->second;
    return AXStatus::Success;
  }

  AXStatus copyAttributeValues(const ElementRef& element, AXAttribute attribute, std::size_t index,
                               std::size_t maxCount, ElementArray& out) override {
    sliceRequests.emplace_back(index, maxCount);
    return AccessibilityService::copyAttributeValues(element, attribute, index, maxCount, out);
  }

  AXStatus setAttributeValue(const ElementRef& element, AXAttribute attribute,
                             const AXValue& value) override {
    auto* e = dynamic_cast<FakeElement*>(element.get());
    if (!e) return AXStatus::IllegalArgument;
    e->writes.emplace_back(attribute, value);
    if (!e->settable.count(attribute)) return AXStatus::AttributeUnsupported;
    e->attributes[attribute] = value;
    return AXStatus::Success;
  }

  AXStatus getPid(const ElementRef& element, int& pid) override {
    auto* e = dynamic_cast<FakeElement*>(element.get());
    if (!e) return AXStatus::IllegalArgument;
    if (!e->pid) return AXStatus::InvalidElement;
    pid = *e->pid;
    return AXStatus::Success;
  }

  AXStatus copyElementAtPosition(const ElementRef& element, float x, float y,
                                 ElementRef& out) override {
    if (!element) return AXStatus::IllegalArgument;
    if (hitStatus != AXStatus::Success) return hitStatus;
    ElementRef hit = hitTest ? hitTest(x, y) : nullptr;
    if (!hit) return AXStatus::NoValue;
    out = hit;
    return AXStatus::Success;
  }

  bool bringFrontWindowForward(int pid) override {
    broughtForward.push_back(pid);
    return true;
  }
};

}  // namespace nuv::fake
