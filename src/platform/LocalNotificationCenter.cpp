#include "platform/LocalNotificationCenter.h"

#include <algorithm>

namespace nuv {

LocalNotificationCenter::LocalNotificationCenter() : state_(std::make_shared<State>()) {}
LocalNotificationCenter::~LocalNotificationCenter() = default;

void LocalNotificationCenter::postNotification(const Notification& note) {
  std::vector<std::pair<std::uint64_t, std::shared_ptr<Observer>>> targets;
  {
    std::lock_guard lock(state_->mutex);
    for (const auto& e : state_->entries) {
      if (e.name == note.name) targets.emplace_back(e.id, e.observer);
    }
  }
  for (auto& [id, observer] : targets) {
    bool stillThere;
    {
      std::lock_guard lock(state_->mutex);
      stillThere = std::any_of(state_->entries.begin(), state_->entries.end(),
                               [id = id](const Entry& e) { return e.id == id; });
    }
    if (stillThere) (*observer)(note);
  }
}

Subscription LocalNotificationCenter::addObserver(const std::string& name, Observer observer) {
  std::lock_guard lock(state_->mutex);
  const auto id = state_->nextId++;
  state_->entries.push_back(Entry{id, name, std::make_shared<Observer>(std::move(observer))});
  std::weak_ptr<State> weak = state_;
  return Subscription([weak, id] {
    if (auto state = weak.lock()) {
      std::lock_guard lock(state->mutex);
      std::erase_if(state->entries, [id](const Entry& e) { return e.id == id; });
    }
  });
}

}  // namespace nuv
