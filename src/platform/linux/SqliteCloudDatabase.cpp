#include "platform/linux/SqliteCloudDatabase.h"

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/SqliteCloudStore.h"

namespace nuv::linux_backend {

class SqliteCloudDatabase::Worker {
 public:
  using Task = std::function<void(SqliteCloudStore&)>;

  explicit Worker(std::string path) : store_(std::move(path)) {}

  static std::shared_ptr<Worker> start(std::string path);

  const std::string& path() const { return store_.path(); }

  void enqueue(Task task) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
  }

  void waitUntilIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return stopping_ || (tasks_.empty() && !running_); });
  }

  void stop() {
    std::deque<Task> dropped;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      dropped.swap(tasks_);
    }
    wake_.notify_all();
    idle_.notify_all();
    store_.interrupt();
    // Dropped completions are destroyed outside the lock: their captures may
    // own objects whose destruction calls back into a database.
    dropped.clear();
    std::lock_guard join(joinMutex_);
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
      // Stopped from one of its own completions: the thread holds a reference
      // to this worker and ends after the current task.
      thread_.detach();
    } else {
      thread_.join();
    }
  }

 private:
  void loop() {
    for (;;) {
      Task task;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (stopping_) break;
        task = std::move(tasks_.front());
        tasks_.pop_front();
        running_ = true;
      }
      task(store_);
      task = nullptr;
      {
        std::lock_guard lock(mutex_);
        running_ = false;
      }
      idle_.notify_all();
    }
  }

  SqliteCloudStore store_;  // worker thread only (interrupt: any thread)
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<Task> tasks_;
  bool stopping_ = false;
  bool running_ = false;
  std::mutex joinMutex_;
  std::thread thread_;
};

namespace {

struct WorkerRegistry {
  std::mutex mutex;
  std::vector<std::weak_ptr<SqliteCloudDatabase::Worker>> workers;
};

void stopAtExit() { SqliteCloudDatabase::shutdownAll(); }

// Never destroyed, so that the exit handler can still use it.
WorkerRegistry& registry() {
  static WorkerRegistry* r = [] {
    auto* created = new WorkerRegistry;
    std::atexit(&stopAtExit);
    return created;
  }();
  return *r;
}

}  // namespace

std::shared_ptr<SqliteCloudDatabase::Worker> SqliteCloudDatabase::Worker::start(std::string path) {
  auto& reg = registry();
  auto worker = std::make_shared<Worker>(std::move(path));
  {
    std::lock_guard join(worker->joinMutex_);
    worker->thread_ = std::thread([w = worker] { w->loop(); });
  }
  std::lock_guard lock(reg.mutex);
  std::erase_if(reg.workers, [](const auto& w) { return w.expired(); });
  reg.workers.push_back(worker);
  return worker;
}

void SqliteCloudDatabase::shutdownAll() {
  std::vector<std::shared_ptr<Worker>> live;
  {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    for (auto& w : reg.workers) {
      if (auto s = w.lock()) live.push_back(std::move(s));
    }
  }
  for (auto& w : live) w->stop();
}

SqliteCloudDatabase::SqliteCloudDatabase(std::string path)
    : worker_(Worker::start(std::move(path))) {}

SqliteCloudDatabase::~SqliteCloudDatabase() { worker_->stop(); }

const std::string& SqliteCloudDatabase::path() const { return worker_->path(); }

void SqliteCloudDatabase::waitUntilIdle() { worker_->waitUntilIdle(); }

void SqliteCloudDatabase::performQuery(const CloudQuery& query, std::optional<std::string> zoneName,
                                       QueryCompletion completion) {
  worker_->enqueue([query, zone = zoneName.value_or(kCloudDefaultZoneName),
                    completion = std::move(completion)](SqliteCloudStore& store) {
    auto result = store.query(query, zone);
    if (auto* failure = std::get_if<CloudError>(&result)) {
      if (completion) completion({}, std::move(*failure));
      return;
    }
    std::vector<CloudRecordRef> records;
    for (auto& data : std::get<0>(result)) {
      records.push_back(std::make_shared<CloudRecord>(std::move(data)));
    }
    if (completion) completion(std::move(records), std::nullopt);
  });
}

void SqliteCloudDatabase::saveSubscription(const CloudQuerySubscription& subscription,
                                           SubscriptionCompletion completion) {
  worker_->enqueue([subscription, completion = std::move(completion)](SqliteCloudStore& store) {
    auto result = store.saveSubscription(subscription);
    if (!completion) return;
    if (auto* failure = std::get_if<CloudError>(&result)) {
      completion(std::nullopt, std::move(*failure));
    } else {
      completion(std::move(std::get<0>(result)), std::nullopt);
    }
  });
}

void SqliteCloudDatabase::addOperation(std::shared_ptr<CloudModifyRecordsOperation> operation) {
  if (!operation) return;
  // The content is taken here, on the caller's thread: writes to the records
  // after this call do not reach this save.
  std::vector<std::pair<CloudRecordRef, CloudRecordData>> handedOver;
  for (const auto& record : operation->recordsToSave()) {
    if (record) handedOver.emplace_back(record, record->snapshot());
  }
  worker_->enqueue([operation, handedOver = std::move(handedOver)](SqliteCloudStore& store) {
    const auto& block = operation->perRecordCompletionBlock();
    for (const auto& [record, data] : handedOver) {
      auto result = store.save(data, operation->savePolicy());
      if (!block) continue;
      if (auto* failure = std::get_if<CloudError>(&result)) {
        block(record, std::move(*failure));
      } else {
        block(std::make_shared<CloudRecord>(std::move(std::get<0>(result))), std::nullopt);
      }
    }
  });
}

void SqliteCloudDatabase::deleteRecordWithID(const CloudRecordID& recordID,
                                             DeleteCompletion completion) {
  worker_->enqueue([recordID, completion = std::move(completion)](SqliteCloudStore& store) {
    auto failure = store.remove(recordID);
    if (completion) completion(recordID, std::move(failure));
  });
}

}  // namespace nuv::linux_backend
