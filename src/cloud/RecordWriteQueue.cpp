#include "cloud/RecordWriteQueue.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/Log.h"

namespace nuv {
namespace {

// Failures that another try of the same content cannot mend.
bool isHopeless(const CloudError& error) {
  return error.code == CloudErrorCode::UnknownItem ||
         error.code == CloudErrorCode::InvalidArguments;
}

void addChangedKeys(CloudRecordData& into, const CloudRecordData& from) {
  into.changedKeys.insert(from.changedKeys.begin(), from.changedKeys.end());
}

std::string deviceName(const CloudRecordData& data) {
  auto it = data.fields.find("Name");
  if (it == data.fields.end()) return {};
  const auto* name = std::get_if<std::string>(&it->second);
  return name ? *name : std::string();
}

}  // namespace

std::shared_ptr<RecordWriteQueue> RecordWriteQueue::create(RunLoop& mainLoop, Hooks hooks) {
  return std::shared_ptr<RecordWriteQueue>(new RecordWriteQueue(mainLoop, std::move(hooks)));
}

RecordWriteQueue::RecordWriteQueue(RunLoop& mainLoop, Hooks hooks)
    : mainLoop_(mainLoop), hooks_(std::move(hooks)) {}

void RecordWriteQueue::write(const CloudRecordRef& record) {
  if (!record) return;
  CloudRecordData data = record->snapshot();
  std::optional<CloudRecordData> toSend;
  {
    std::lock_guard lock(mutex_);
    Slot& slot = slots_[data.recordID.recordName];
    if (slot.waiting) addChangedKeys(data, *slot.waiting);
    slot.waiting = std::move(data);
    toSend = takeForSendLocked(slot);
  }
  if (toSend) send(std::move(*toSend));
  publishStatus();
}

std::optional<CloudRecordData> RecordWriteQueue::takeForSendLocked(Slot& slot) {
  if (slot.inFlight || slot.retryScheduled || !slot.waiting) return std::nullopt;
  slot.inFlight = true;
  slot.sentAt = mainLoop_.clock().monotonicNow();
  std::optional<CloudRecordData> data = std::move(slot.waiting);
  slot.waiting.reset();
  return data;
}

void RecordWriteQueue::send(CloudRecordData data) {
  CloudDatabaseRef db = hooks_.database ? hooks_.database() : nullptr;
  if (!db) {
    onFailed(data, CloudError{CloudErrorCode::BadContainer, "no cloud database", std::nullopt});
    return;
  }
  auto operation = std::make_shared<CloudModifyRecordsOperation>(
      std::vector<CloudRecordRef>{std::make_shared<CloudRecord>(data)});
  operation->setSavePolicy(CloudRecordSavePolicy::ChangedKeys);
  auto self = shared_from_this();
  operation->setPerRecordCompletionBlock(
      [self, data](CloudRecordRef saved, std::optional<CloudError> error) {
        if (error) {
          self->onFailed(data, std::move(*error));
        } else {
          self->onSaved(data, std::move(saved));
        }
      });
  db->addOperation(std::move(operation));
}

void RecordWriteQueue::onSaved(const CloudRecordData& sent, CloudRecordRef saved) {
  const std::string& name = sent.recordID.recordName;
  std::optional<CloudRecordData> next;
  std::size_t stillPending = 0;
  {
    std::lock_guard lock(mutex_);
    if (auto it = slots_.find(name); it != slots_.end()) {
      Slot& slot = it->second;
      slot.inFlight = false;
      slot.backoff.reset();
      next = takeForSendLocked(slot);
      if (!slot.inFlight && !slot.retryScheduled && !slot.waiting) slots_.erase(it);
    }
    landed_.lastSuccess = mainLoop_.clock().now();
    landed_.lastRecordName = name;
    landed_.lastDeviceName = deviceName(sent);
    stillPending = statusLocked().pendingCount;
  }
  log_.succeeded("record " + name + " saved, " + std::to_string(stillPending) +
                 " write(s) still pending");
  if (hooks_.saved) hooks_.saved(std::move(saved));
  if (next) send(std::move(*next));
  publishStatus();
}

void RecordWriteQueue::onFailed(const CloudRecordData& sent, CloudError error) {
  const std::string& name = sent.recordID.recordName;
  const bool gone = error.code == CloudErrorCode::UnknownItem;
  const bool hopeless = isHopeless(error);
  std::optional<CloudRecordData> next;
  std::optional<std::pair<Milliseconds, std::uint64_t>> retryIn;
  {
    std::lock_guard lock(mutex_);
    Slot& slot = slots_[name];
    slot.inFlight = false;
    if (gone) {
      // Newer values for a deleted record have nowhere to go either.
      slot.waiting.reset();
    } else if (!hopeless) {
      if (slot.waiting) {
        addChangedKeys(*slot.waiting, sent);
      } else {
        slot.waiting = sent;
      }
    }
    if (slot.waiting && !hopeless) {
      const auto tried =
          std::chrono::duration_cast<Milliseconds>(mainLoop_.clock().monotonicNow() - slot.sentAt);
      Milliseconds wait = std::max(slot.backoff.next() - tried, Milliseconds(0));
      if (error.retryAfter) wait = std::max<Milliseconds>(wait, *error.retryAfter);
      slot.retryScheduled = true;
      retryIn.emplace(wait, ++slot.generation);
    } else if (slot.waiting) {
      // A newer value than the refused one: it deserves its own try.
      next = takeForSendLocked(slot);
    } else if (!slot.retryScheduled) {
      slots_.erase(name);
    }
  }
  if (retryIn) {
    log_.failed(error, retryIn->first);
    std::weak_ptr<RecordWriteQueue> weak = weak_from_this();
    mainLoop_.postDelayed(retryIn->first, [weak, name, generation = retryIn->second] {
      if (auto self = weak.lock()) self->retry(name, generation);
    });
  } else {
    log::warning("cloud: the write of record " + name + " was dropped: " + error.message);
  }
  // Reported once the retry is arranged: whoever sees the report finds it
  // scheduled.
  if (hooks_.failed) hooks_.failed(error);
  if (gone && hooks_.gone) hooks_.gone(sent.recordID);
  if (next) send(std::move(*next));
  publishStatus();
}

void RecordWriteQueue::retry(const std::string& recordName, std::uint64_t generation) {
  {
    std::lock_guard lock(mutex_);
    auto it = slots_.find(recordName);
    if (it == slots_.end() || it->second.generation != generation || !it->second.retryScheduled) {
      return;
    }
    it->second.retryScheduled = false;
  }
  // Outside the lock: the hook reads the store's list.
  const bool known = !hooks_.isKnown || hooks_.isKnown(recordName);
  std::optional<CloudRecordData> next;
  {
    std::lock_guard lock(mutex_);
    auto it = slots_.find(recordName);
    if (it == slots_.end()) return;
    if (known) {
      next = takeForSendLocked(it->second);
    } else {
      it->second.waiting.reset();
      if (!it->second.inFlight) slots_.erase(it);
    }
  }
  if (!known) {
    log::info("cloud: record " + recordName +
              " is no longer in the list; its pending value is dropped");
  }
  if (next) send(std::move(*next));
  publishStatus();
}

void RecordWriteQueue::retryNow() {
  std::vector<std::pair<std::string, std::uint64_t>> due;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [name, slot] : slots_) {
      if (slot.retryScheduled) due.emplace_back(name, slot.generation);
    }
  }
  for (const auto& [name, generation] : due) retry(name, generation);
}

CloudWriteStatus RecordWriteQueue::statusLocked() const {
  CloudWriteStatus status = landed_;
  status.pendingCount = 0;
  for (const auto& [name, slot] : slots_) {
    if (slot.inFlight || slot.waiting) ++status.pendingCount;
  }
  return status;
}

CloudWriteStatus RecordWriteQueue::status() const {
  std::lock_guard lock(mutex_);
  return statusLocked();
}

void RecordWriteQueue::publishStatus() {
  if (!hooks_.statusChanged) return;
  std::lock_guard lock(mutex_);
  CloudWriteStatus status = statusLocked();
  if (status == published_) return;
  published_ = status;
  // Posted under the lock, so observers see the changes in order.
  mainLoop_.post([hook = hooks_.statusChanged, status] { hook(status); });
}

}  // namespace nuv
