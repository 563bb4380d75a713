#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/UsbRegistry.h"

namespace nuv::fake {

// An in-memory USB registry. The test attaches and detaches devices; after
// the watcher has armed first-match notifications each attach is reported
// synchronously, as the loop would report a uevent. Single-threaded, like the
// loop thread it stands in for.
class FakeUsbRegistry : public UsbRegistry {
 public:
  FakeUsbRegistry() : state_(std::make_shared<State>()) {}

  // Makes addMatchingNotification fail, as with no udev on the machine.
  void setAvailable(bool available) { state_->available = available; }

  // Attaches a device. Ignored while a device with the same syspath is
  // attached (one match per arrival).
  void attach(UsbDevice device) {
    auto& s = *state_;
    if (s.attached.count(device.syspath)) return;
    s.attached.emplace(device.syspath, Attached{device, 0, nullptr});
    if (s.armed && s.onMatch) {
      auto onMatch = s.onMatch;
      onMatch(device);
    }
  }

  // Detaches a device: its interest handler, if any, gets the termination.
  void detach(const std::string& syspath) {
    auto& s = *state_;
    auto it = s.attached.find(syspath);
    if (it == s.attached.end()) return;
    auto handler = std::move(it->second.handler);
    s.attached.erase(it);
    if (handler) handler(kUsbMessageServiceIsTerminated);
  }

  // Sends any interest message (termination included, without detaching).
  void sendMessage(const std::string& syspath, std::uint32_t messageType) {
    auto it = state_->attached.find(syspath);
    if (it == state_->attached.end() || !it->second.handler) return;
    auto handler = it->second.handler;
    handler(messageType);
  }

  // Devices that currently have an interest notification.
  std::size_t interestCount() const {
    return std::count_if(state_->attached.begin(), state_->attached.end(),
                         [](const auto& e) { return static_cast<bool>(e.second.handler); });
  }

  // UsbRegistry
  std::optional<std::vector<UsbDevice>> addMatchingNotification(MatchHandler onMatch) override {
    auto& s = *state_;
    if (!s.available) return std::nullopt;
    s.armed = true;
    s.onMatch = std::move(onMatch);
    std::vector<UsbDevice> present;
    for (const auto& [path, attached] : s.attached) present.push_back(attached.device);
    return present;
  }

  Subscription addInterestNotification(const UsbDevice& device,
                                       InterestHandler onMessage) override {
    auto it = state_->attached.find(device.syspath);
    if (it == state_->attached.end() || !device.locationID) return {};
    const std::uint64_t id = ++state_->nextId;
    it->second.id = id;
    it->second.handler = std::move(onMessage);
    std::weak_ptr<State> weak = state_;
    std::string path = device.syspath;
    return Subscription([weak, path, id] {
      auto s = weak.lock();
      if (!s) return;
      auto found = s->attached.find(path);
      if (found != s->attached.end() && found->second.id == id) found->second.handler = nullptr;
    });
  }

 private:
  struct Attached {
    UsbDevice device;
    std::uint64_t id;
    InterestHandler handler;
  };
  struct State {
    bool available = true;
    bool armed = false;
    std::uint64_t nextId = 0;
    MatchHandler onMatch;
    std::map<std::string, Attached> attached;  // by syspath, the arming pass's order
  };
  std::shared_ptr<State> state_;
};

}  // namespace nuv::fake
