#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace nuv::linux_backend {

// A serial task queue run by one thread of its own: tasks run one at a time,
// in the order they were queued. The cloud backends run their calls and
// completions on one; the history store writes its rows on one.
//
// stop() drops the queued tasks (they never run; they are destroyed outside
// the lock, since their captures may call back into a backend when
// destroyed), calls the interrupt hook so the task in progress can end early,
// lets that task finish and joins the thread. Stopped from one of its own
// tasks, the thread is detached instead and ends after that task.
//
// Every worker is registered process-wide: shutdownAll() stops them all, and
// it runs as an exit handler, so std::exit never runs a task while the
// process tears down its static objects.
class SerialWorker {
 public:
  using Task = std::function<void()>;
  // Called by stop() from the stopping thread while a task may be running.
  using Interrupt = std::function<void()>;

  // Starts the thread and registers the worker. The worker lives while
  // either the caller's reference or its own thread holds it.
  static std::shared_ptr<SerialWorker> start(Interrupt interrupt = {});

  SerialWorker(const SerialWorker&) = delete;
  SerialWorker& operator=(const SerialWorker&) = delete;

  // Queues a task; ignored once stopped. Any thread.
  void enqueue(Task task);
  // Blocks until every task queued before has run, or the worker stopped.
  // Not from one of its own tasks.
  void waitUntilIdle();
  // The same, for at most `timeout`; false when tasks are still left then.
  bool waitUntilIdleFor(std::chrono::milliseconds timeout);
  // Idempotent. Any thread, its own tasks included.
  void stop();

  // Stops every worker of the process (what happens at exit). Idempotent.
  static void shutdownAll();

 private:
  explicit SerialWorker(Interrupt interrupt);
  void loop();

  const Interrupt interrupt_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<Task> tasks_;
  bool stopping_ = false;
  bool running_ = false;
  std::mutex joinMutex_;
  std::thread thread_;
};

}  // namespace nuv::linux_backend
