#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/NotificationCenter.h"

namespace nuv {

// An in-process notification centre. post() delivers synchronously on the
// posting thread to the observers registered at that moment; an observer
// removed during a delivery is not called afterwards.
class LocalNotificationCenter : public NotificationCenter {
 public:
  LocalNotificationCenter();
  ~LocalNotificationCenter() override;

  void postNotification(const Notification& note) override;
  Subscription addObserver(const std::string& name, Observer observer) override;

 private:
  struct Entry {
    std::uint64_t id;
    std::string name;
    std::shared_ptr<Observer> observer;
  };
  struct State {
    std::mutex mutex;
    std::vector<Entry> entries;
    std::uint64_t nextId = 1;
  };
  std::shared_ptr<State> state_;
};

}  // namespace nuv
