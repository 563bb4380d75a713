#include "platform/linux/runtime/SerialWorker.h"

#include <cstdlib>
#include <vector>

namespace nuv::linux_backend {
namespace {

struct WorkerRegistry {
  std::mutex mutex;
  std::vector<std::weak_ptr<SerialWorker>> workers;
};

void stopAtExit() { SerialWorker::shutdownAll(); }

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

SerialWorker::SerialWorker(Interrupt interrupt) : interrupt_(std::move(interrupt)) {}

std::shared_ptr<SerialWorker> SerialWorker::start(Interrupt interrupt) {
  auto& reg = registry();
  std::shared_ptr<SerialWorker> worker(new SerialWorker(std::move(interrupt)));
  {
    std::lock_guard join(worker->joinMutex_);
    worker->thread_ = std::thread([w = worker] { w->loop(); });
  }
  std::lock_guard lock(reg.mutex);
  std::erase_if(reg.workers, [](const auto& w) { return w.expired(); });
  reg.workers.push_back(worker);
  return worker;
}

void SerialWorker::shutdownAll() {
  std::vector<std::shared_ptr<SerialWorker>> live;
  {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    for (auto& w : reg.workers) {
      if (auto s = w.lock()) live.push_back(std::move(s));
    }
  }
  for (auto& w : live) w->stop();
}

void SerialWorker::enqueue(Task task) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void SerialWorker::waitUntilIdle() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return stopping_ || (tasks_.empty() && !running_); });
}

bool SerialWorker::waitUntilIdleFor(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return idle_.wait_for(lock, timeout,
                        [this] { return stopping_ || (tasks_.empty() && !running_); });
}

void SerialWorker::stop() {
  std::deque<Task> dropped;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    dropped.swap(tasks_);
  }
  wake_.notify_all();
  idle_.notify_all();
  if (interrupt_) interrupt_();
  // Dropped tasks are destroyed outside the lock: their captures may own
  // objects whose destruction calls back into a backend.
  dropped.clear();
  std::lock_guard join(joinMutex_);
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    // Stopped from one of its own tasks: the thread holds a reference to this
    // worker and ends after the current task.
    thread_.detach();
  } else {
    thread_.join();
  }
}

void SerialWorker::loop() {
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
    task();
    task = nullptr;
    {
      std::lock_guard lock(mutex_);
      running_ = false;
    }
    idle_.notify_all();
  }
}

}  // namespace nuv::linux_backend
