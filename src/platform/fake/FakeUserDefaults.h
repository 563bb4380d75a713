#pragma once

#include "platform/UserDefaults.h"

namespace nuv::fake {

// In-memory defaults. `stored()` is what the last successful synchronize()
// wrote. Main loop thread only, like the module's use of them.
class FakeUserDefaults : public UserDefaults {
 public:
  std::optional<Value> objectForKey(const std::string& key) const override {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }
  void setValueForKey(const Value& value, const std::string& key) override {
    values_.insert_or_assign(key, value);
  }
  void removeObjectForKey(const std::string& key) override { values_.erase(key); }
  bool synchronize() override {
    ++synchronizeCount;
    stored = values_;
    return true;
  }

  Dictionary stored;
  int synchronizeCount = 0;

 private:
  Dictionary values_;
};

}  // namespace nuv::fake
