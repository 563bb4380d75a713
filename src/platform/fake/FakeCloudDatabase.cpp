#include "platform/fake/FakeCloudDatabase.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace nuv::fake {
namespace {
// 2026-06-01T00:00:00Z: an arbitrary, fixed origin for the store's dates.
constexpr std::int64_t kDateOriginUs = 1'780'272'000'000'000;
}  // namespace

FakeCloudDatabase::FakeCloudDatabase() = default;
FakeCloudDatabase::~FakeCloudDatabase() = default;

void FakeCloudDatabase::enqueue(Task task) {
  std::lock_guard lock(mutex_);
  std::optional<CloudError> injected;
  if (!failures_.empty()) {
    injected = std::move(failures_.front());
    failures_.pop_front();
  }
  pending_.emplace_back(std::move(task), std::move(injected));
}

void FakeCloudDatabase::performQuery(const CloudQuery& query, std::optional<std::string> zoneName,
                                     QueryCompletion completion) {
  {
    std::lock_guard lock(mutex_);
    queries_.push_back(query);
  }
  const std::string zone = zoneName.value_or(kCloudDefaultZoneName);
  enqueue([this, query, zone, completion](std::optional<CloudError> injected) {
    if (injected) {
      completion({}, std::move(injected));
      return;
    }
    std::vector<CloudRecordRef> result;
    {
      std::lock_guard lock(mutex_);
      for (const auto& name : order_) {
        auto it = records_.find(name);
        if (it == records_.end()) continue;
        const auto& r = it->second;
        if (r.recordType == query.recordType && r.recordID.zoneName == zone) {
          result.push_back(std::make_shared<CloudRecord>(r));
        }
      }
    }
    completion(std::move(result), std::nullopt);
  });
}

void FakeCloudDatabase::saveSubscription(const CloudQuerySubscription& subscription,
                                         SubscriptionCompletion completion) {
  enqueue([this, subscription, completion](std::optional<CloudError> injected) {
    if (injected) {
      completion(std::nullopt, std::move(injected));
      return;
    }
    CloudQuerySubscription saved = subscription;
    {
      std::lock_guard lock(mutex_);
      if (!saved.subscriptionID) saved.subscriptionID = "sub-" + std::to_string(++tick_);
      subscriptions_.push_back(saved);
    }
    completion(saved, std::nullopt);
  });
}

void FakeCloudDatabase::addOperation(std::shared_ptr<CloudModifyRecordsOperation> operation) {
  // The content is taken now, as the database contract requires.
  std::vector<std::pair<CloudRecordRef, CloudRecordData>> handedOver;
  for (const auto& record : operation->recordsToSave()) {
    handedOver.emplace_back(record, record->snapshot());
  }
  {
    std::lock_guard lock(mutex_);
    for (const auto& [record, data] : handedOver) {
      saveCalls_.push_back(SaveCall{data, operation->savePolicy()});
    }
  }
  enqueue([this, operation, handedOver](std::optional<CloudError> injected) {
    for (const auto& [record, data] : handedOver) {
      std::optional<CloudError> error = injected;
      CloudRecordData saved;
      if (!error) {
        std::lock_guard lock(mutex_);
        error = saveLocked(data, operation->savePolicy(), saved);
      }
      if (const auto& block = operation->perRecordCompletionBlock()) {
        if (error) {
          block(record, std::move(error));
        } else {
          block(std::make_shared<CloudRecord>(std::move(saved)), std::nullopt);
        }
      }
    }
  });
}

void FakeCloudDatabase::deleteRecordWithID(const CloudRecordID& recordID,
                                           DeleteCompletion completion) {
  enqueue([this, recordID, completion](std::optional<CloudError> injected) {
    if (injected) {
      completion(recordID, std::move(injected));
      return;
    }
    bool found = false;
    {
      std::lock_guard lock(mutex_);
      auto it = records_.find(recordID.recordName);
      if (it != records_.end() && it->second.recordID == recordID) {
        records_.erase(it);
        std::erase(order_, recordID.recordName);
        found = true;
      }
    }
    if (found) {
      completion(recordID, std::nullopt);
    } else {
      completion(recordID, CloudError{CloudErrorCode::UnknownItem,
                                      "record not found: " + recordID.recordName, std::nullopt});
    }
  });
}

CloudRecordData FakeCloudDatabase::storeLocked(CloudRecordData record) {
  const auto now = Date::fromMicroseconds(kDateOriginUs + 1000 * ++tick_);
  auto it = records_.find(record.recordID.recordName);
  if (it == records_.end()) {
    record.creationDate = now;
    order_.push_back(record.recordID.recordName);
  } else {
    record.creationDate = it->second.creationDate;
  }
  record.modificationDate = now;
  record.recordChangeTag = "tag-" + std::to_string(tick_);
  record.changedKeys.clear();
  records_[record.recordID.recordName] = record;
  return record;
}

std::optional<CloudError> FakeCloudDatabase::saveLocked(const CloudRecordData& incoming,
                                                        CloudRecordSavePolicy policy,
                                                        CloudRecordData& saved) {
  auto it = records_.find(incoming.recordID.recordName);
  CloudRecordData next;
  if (it == records_.end()) {
    next = incoming;  // a new record holds every field set on it
  } else {
    if (it->second.recordType != incoming.recordType) {
      return CloudError{CloudErrorCode::InvalidArguments, "record type mismatch", std::nullopt};
    }
    if (policy == CloudRecordSavePolicy::IfServerRecordUnchanged &&
        incoming.recordChangeTag != it->second.recordChangeTag) {
      return CloudError{CloudErrorCode::ServerRecordChanged, "record changed on the server",
                        std::nullopt};
    }
    next = it->second;
    if (policy == CloudRecordSavePolicy::AllKeys) {
      next.fields = incoming.fields;
    } else {
      for (const auto& key : incoming.changedKeys) {
        auto field = incoming.fields.find(key);
        if (field == incoming.fields.end()) {
          next.fields.erase(key);
        } else {
          next.fields.insert_or_assign(key, field->second);
        }
      }
    }
  }
  saved = storeLocked(std::move(next));
  return std::nullopt;
}

void FakeCloudDatabase::checkForOutsideChanges(OutsideChangesCompletion completion) {
  {
    std::lock_guard lock(mutex_);
    ++outsideChecks_;
  }
  enqueue([this, completion](std::optional<CloudError> injected) {
    if (injected) {
      completion(false, std::move(injected));
      return;
    }
    bool changed = false;
    {
      std::lock_guard lock(mutex_);
      changed = std::exchange(outsideChange_, false);
    }
    completion(changed, std::nullopt);
  });
}

void FakeCloudDatabase::setTracksOutsideChanges(bool tracks) {
  std::lock_guard lock(mutex_);
  tracksOutsideChanges_ = tracks;
}

void FakeCloudDatabase::markOutsideChange() {
  {
    std::lock_guard lock(mutex_);
    outsideChange_ = true;
  }
  hintStorageWritten();
}

Subscription FakeCloudDatabase::observeOutsideChanges(std::function<void()> hint) {
  auto shared = std::make_shared<std::function<void()>>(std::move(hint));
  std::lock_guard lock(mutex_);
  hint_ = shared;
  return Subscription([this, shared] {
    std::lock_guard lock(mutex_);
    if (hint_ == shared) hint_.reset();
  });
}

void FakeCloudDatabase::hintStorageWritten() {
  std::shared_ptr<std::function<void()>> hint;
  {
    std::lock_guard lock(mutex_);
    hint = hint_;
  }
  if (hint) (*hint)();
}

CloudRecordData FakeCloudDatabase::seed(CloudRecordData record) {
  std::lock_guard lock(mutex_);
  return storeLocked(std::move(record));
}

void FakeCloudDatabase::failNextWith(CloudError error) {
  std::lock_guard lock(mutex_);
  failures_.push_back(std::move(error));
}

bool FakeCloudDatabase::deliverNext() {
  std::pair<Task, std::optional<CloudError>> next;
  {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) return false;
    next = std::move(pending_.front());
    pending_.pop_front();
  }
  next.first(std::move(next.second));
  return true;
}

void FakeCloudDatabase::deliverAll() {
  while (deliverNext()) {
  }
}

void FakeCloudDatabase::deliverAllOnThread() {
  std::thread worker([this] { deliverAll(); });
  worker.join();
}

std::optional<CloudRecordData> FakeCloudDatabase::stored(const std::string& recordName) const {
  std::lock_guard lock(mutex_);
  auto it = records_.find(recordName);
  if (it == records_.end()) return std::nullopt;
  return it->second;
}

}  // namespace nuv::fake
