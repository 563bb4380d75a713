#pragma once

#include <deque>
#include <memory>
#include <mutex>

#include "platform/RunLoop.h"

typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;
typedef struct _GSource GSource;

namespace nuv::linux_backend {

class SystemClock : public Clock {
 public:
  Date now() const override;
  MonotonicTime monotonicNow() const override;
};

// The main loop on GLib's default main context. Must be created and run on
// the main thread; post()/postDelayed()/quit() may be called from any thread.
class GlibRunLoop : public RunLoop {
 public:
  GlibRunLoop();
  ~GlibRunLoop() override;
  GlibRunLoop(const GlibRunLoop&) = delete;
  GlibRunLoop& operator=(const GlibRunLoop&) = delete;

  void post(Closure work) override;
  void postDelayed(Milliseconds delay, Closure work) override;
  TimerRef scheduleTimer(Milliseconds interval, Closure action) override;
  void run() override;
  void quit() override;
  void runUntil(const std::function<bool()>& done) override;
  const Clock& clock() const override { return clock_; }

  GMainContext* context() const { return context_; }

 private:
  static int drainPosted(void* self);
  struct LoopUnref {
    void operator()(GMainLoop* l) const;
  };

  SystemClock clock_;
  GMainContext* context_;  // the default context; not owned
  std::unique_ptr<GMainLoop, LoopUnref> loop_;
  // Posted work runs from one wake-up source so that it keeps posting order.
  std::mutex mutex_;
  std::deque<Closure> posted_;
  bool wakeupPending_ = false;
};

}  // namespace nuv::linux_backend
