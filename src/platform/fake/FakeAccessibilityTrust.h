#pragma once

#include <functional>
#include <map>
#include <memory>

#include "platform/AccessibilityTrust.h"

namespace nuv::fake {

// A trust switch the test flips, and an announcement it sends by hand.
class FakeAccessibilityTrust : public AccessibilityTrust {
 public:
  bool trusted = false;
  bool requestable = true;
  int trustRequests = 0;
  int settingsOpened = 0;

  bool isProcessTrusted() override { return trusted; }
  bool canRequestTrust() override { return requestable; }
  void requestTrust() override { ++trustRequests; }
  void openAccessibilitySettings() override { ++settingsOpened; }

  Subscription observeTrustChanges(std::function<void()> onChange) override {
    auto id = nextId_++;
    observers_->emplace(id, std::move(onChange));
    return Subscription([observers = observers_, id] { observers->erase(id); });
  }

  // Delivers the announcement to every current observer.
  void announce() {
    for (auto& [id, observer] : *observers_) observer();
  }
  std::size_t observerCount() const { return observers_->size(); }

 private:
  std::shared_ptr<std::map<int, std::function<void()>>> observers_ =
      std::make_shared<std::map<int, std::function<void()>>>();
  int nextId_ = 1;
};

}  // namespace nuv::fake
