#pragma once

#include <memory>
#include <vector>

#include "platform/HostService.h"

namespace nuv::fake {

// The host service in memory: the test plays the hosts (reads, Refresh calls)
// and the bus (another process taking the name), and sees every change the
// module announced.
class FakeHostService : public HostService {
 public:
  Subscription publish(Handlers handlers) override {
    auto published = std::make_shared<Handlers>(std::move(handlers));
    published_ = published;
    return Subscription([this, published] {
      if (published_ == published) published_.reset();
    });
  }

  void setDevices(const Dictionary& devices) override { devices_ = devices; }
  void announceDevices() override {
    if (published_) changes.push_back(devices_);
  }

  bool published() const { return published_ != nullptr; }
  // What a host reading the property gets now.
  Dictionary read() const { return devices_; }
  void callRefresh() const { published_->refresh(); }

  // Every announced map, in order.
  std::vector<Dictionary> changes;

 private:
  std::shared_ptr<Handlers> published_;
  Dictionary devices_;
};

}  // namespace nuv::fake
