#pragma once

#include <functional>
#include <string>

#include "platform/Subscription.h"
#include "platform/Value.h"

namespace nuv {

struct Notification {
  std::string name;
  std::string object;  // the sender object as text; "" for none
  Dictionary userInfo;
};

// A notification centre. The distributed one carries notifications between
// processes over the session bus; the local one stays inside the process.
//
// Observers are called on the main loop thread, in the order they were added.
// post() is fire-and-forget: it never waits for an answer.
class NotificationCenter {
 public:
  using Observer = std::function<void(const Notification&)>;
  virtual ~NotificationCenter() = default;

  virtual void postNotification(const Notification& note) = 0;
  // Observes every notification called `name`, whatever its sender object.
  virtual Subscription addObserver(const std::string& name, Observer observer) = 0;
};

}  // namespace nuv
