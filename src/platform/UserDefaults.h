#pragma once

#include <optional>
#include <string>

#include "platform/Value.h"

namespace nuv {

// The module's own persistent key/value settings.
//
// Changes are visible to objectForKey at once and reach storage at the next
// synchronize(). Thread-safe.
class UserDefaults {
 public:
  virtual ~UserDefaults() = default;

  virtual std::optional<Value> objectForKey(const std::string& key) const = 0;
  // Replaces any earlier value under `key`.
  virtual void setValueForKey(const Value& value, const std::string& key) = 0;
  virtual void removeObjectForKey(const std::string& key) = 0;
  // Writes pending changes to storage now and picks up what others wrote.
  // False when the write failed; the pending changes are then kept and the
  // stored copy is the one from before.
  virtual bool synchronize() = 0;
};

}  // namespace nuv
