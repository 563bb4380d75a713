#pragma once

#include <mutex>

#include "platform/UserDefaults.h"

namespace nuv::fake {

// In-memory defaults. `stored()` is what the last successful synchronize()
// wrote.
class FakeUserDefaults : public UserDefaults {
 public:
  std::optional<Value> objectForKey(const std::string& key) const override {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }
  void setValueForKey(const Value& value, const std::string& key) override {
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(key, value);
  }
  void removeObjectForKey(const std::string& key) override {
    std::lock_guard lock(mutex_);
    values_.erase(key);
  }
  bool synchronize() override {
    std::lock_guard lock(mutex_);
    ++synchronizeCount_;
    stored_ = values_;
    return true;
  }

  Dictionary stored() const {
    std::lock_guard lock(mutex_);
    return stored_;
  }
  int synchronizeCount() const {
    std::lock_guard lock(mutex_);
    return synchronizeCount_;
  }
  // Seeds both the live and the stored copy, as a file from an earlier run.
  void seed(const std::string& key, const Value& value) {
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(key, value);
    stored_.insert_or_assign(key, value);
  }

 private:
  mutable std::mutex mutex_;
  Dictionary values_;
  Dictionary stored_;
  int synchronizeCount_ = 0;
};

}  // namespace nuv::fake
