#include "platform/fake/FakeCloudDatabase.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace nuv::fake {
namespace {
// 2026-06-01T00:00:00Z: an arbitrary, fixed origin for the store's dates.
constexpr std::int64_t kDateOriginUs = 1'780'272'000'000'000;
}  // namespace

void FakeCloudDatabase::enqueue(std::function<void()> run,
                                std::function<void(const CloudError&)> fail) {
  std::lock_guard lock(mutex_);
  if (failures_.empty()) {
    pending_.push_back(std::move(run));
    return;
  }
  pending_.push_back([fail, error = std::move(failures_.front())] { fail(error); });
  failures_.pop_front();
}

void FakeCloudDatabase::performQuery(const CloudQuery& query, std::optional<std::string>,
                                     QueryCompletion completion) {
  locked([&] { queries_.push_back(query); });
  enqueue(
      [this, query, completion] {
        std::vector<CloudRecordRef> result;
        locked([&] {
          for (const auto& name : order_) {
            const auto& r = records_.at(name);
            if (r.recordType == query.recordType) {
              result.push_back(std::make_shared<CloudRecord>(r));
            }
          }
        });
        completion(std::move(result), std::nullopt);
      },
      [completion](const CloudError& e) { completion({}, e); });
}

void FakeCloudDatabase::saveSubscription(const CloudQuerySubscription& subscription,
                                         SubscriptionCompletion completion) {
  enqueue([subscription, completion] { completion(subscription, std::nullopt); },
          [completion](const CloudError& e) { completion(std::nullopt, e); });
}

void FakeCloudDatabase::addOperation(std::shared_ptr<CloudModifyRecordsOperation> operation) {
  // The content is taken now, as the database contract requires.
  std::vector<std::pair<CloudRecordRef, CloudRecordData>> handedOver;
  for (const auto& record : operation->recordsToSave()) {
    handedOver.emplace_back(record, record->snapshot());
    locked([&] {
      saveCalls_.push_back(SaveCall{handedOver.back().second, operation->savePolicy()});
    });
  }
  enqueue(
      [this, block = operation->perRecordCompletionBlock(), handedOver] {
        for (const auto& entry : handedOver) {
          auto saved =
              std::make_shared<CloudRecord>(locked([&] { return saveLocked(entry.second); }));
          if (block) block(std::move(saved), std::nullopt);
        }
      },
      [block = operation->perRecordCompletionBlock(), handedOver](const CloudError& e) {
        for (const auto& [record, data] : handedOver) {
          if (block) block(record, e);
        }
      });
}

void FakeCloudDatabase::deleteRecordWithID(const CloudRecordID& recordID,
                                           DeleteCompletion completion) {
  enqueue(
      [this, recordID, completion] {
        const bool found = locked([&] {
          auto it = records_.find(recordID.recordName);
          if (it == records_.end()) return false;
          records_.erase(it);
          std::erase(order_, recordID.recordName);
          return true;
        });
        if (found) {
          completion(recordID, std::nullopt);
        } else {
          completion(recordID,
                     CloudError{CloudErrorCode::UnknownItem,
                                "record not found: " + recordID.recordName, std::nullopt});
        }
      },
      [recordID, completion](const CloudError& e) { completion(recordID, e); });
}

CloudRecordData FakeCloudDatabase::storeLocked(CloudRecordData record) {
  const auto now = Date::fromMicroseconds(kDateOriginUs + 1000 * ++tick_);
  auto it = records_.find(record.recordID.recordName);
  if (it == records_.end()) order_.push_back(record.recordID.recordName);
  record.creationDate = it == records_.end() ? now : it->second.creationDate;
  record.modificationDate = now;
  record.recordChangeTag = "tag-" + std::to_string(tick_);
  record.changedKeys.clear();
  return records_[record.recordID.recordName] = record;
}

CloudRecordData FakeCloudDatabase::saveLocked(const CloudRecordData& incoming) {
  auto it = records_.find(incoming.recordID.recordName);
  if (it == records_.end()) return storeLocked(incoming);  // every field set on it
  CloudRecordData next = it->second;
  for (const auto& key : incoming.changedKeys) {
    auto field = incoming.fields.find(key);
    if (field == incoming.fields.end()) {
      next.fields.erase(key);
    } else {
      next.fields.insert_or_assign(key, field->second);
    }
  }
  return storeLocked(std::move(next));
}

void FakeCloudDatabase::checkForOutsideChanges(OutsideChangesCompletion completion) {
  locked([&] { ++outsideChecks_; });
  enqueue(
      [this, completion] {
        completion(locked([&] { return std::exchange(outsideChange_, false); }), std::nullopt);
      },
      [completion](const CloudError& e) { completion(false, e); });
}

Subscription FakeCloudDatabase::observeOutsideChanges(std::function<void()> hint) {
  auto shared = std::make_shared<std::function<void()>>(std::move(hint));
  locked([&] { hint_ = shared; });
  return Subscription([this, shared] {
    locked([&] {
      if (hint_ == shared) hint_.reset();
    });
  });
}

void FakeCloudDatabase::deliverAll() {
  while (auto next = locked([&] {
           std::function<void()> task;
           if (!pending_.empty()) task = std::move(pending_.front()), pending_.pop_front();
           return task;
         })) {
    next();
  }
}

void FakeCloudDatabase::deliverAllOnThread() {
  std::thread([this] { deliverAll(); }).join();
}

}  // namespace nuv::fake
