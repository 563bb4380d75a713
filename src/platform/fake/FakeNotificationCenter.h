#pragma once

#include <mutex>
#include <vector>

#include "platform/LocalNotificationCenter.h"

namespace nuv::fake {

// Stands in for the session-bus centre: every post is recorded and, as on the
// bus, also delivered to this process's own observers.
class FakeNotificationCenter : public LocalNotificationCenter {
 public:
  void postNotification(const Notification& note) override {
    {
      std::lock_guard lock(mutex_);
      posted_.push_back(note);
    }
    LocalNotificationCenter::postNotification(note);
  }

  std::vector<Notification> postedNamed(const std::string& name) const {
    std::lock_guard lock(mutex_);
    std::vector<Notification> out;
    for (const auto& n : posted_) {
      if (n.name == name) out.push_back(n);
    }
    return out;
  }
  void clearPosted() {
    std::lock_guard lock(mutex_);
    posted_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Notification> posted_;
};

}  // namespace nuv::fake
