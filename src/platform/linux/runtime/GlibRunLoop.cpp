#include "platform/linux/runtime/GlibRunLoop.h"

#include <glib.h>

namespace nuv::linux_backend {

Date SystemClock::now() const {
  return Date{
      std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now())};
}

MonotonicTime SystemClock::monotonicNow() const { return std::chrono::steady_clock::now(); }

namespace {

class GlibTimer : public Timer {
 public:
  explicit GlibTimer(Closure action) : action_(std::move(action)) {}
  ~GlibTimer() override {
    if (source_) g_source_unref(source_);
  }

  void invalidate() override {
    if (!valid_) return;
    valid_ = false;
    if (source_) g_source_destroy(source_);
    action_ = nullptr;
  }
  bool isValid() const override { return valid_; }

  void arm(GMainContext* context, Milliseconds interval, std::shared_ptr<GlibTimer> self) {
    source_ = g_timeout_source_new(static_cast<guint>(std::max<long long>(0, interval.count())));
    // The source owns a reference to the timer: a scheduled timer stays alive
    // until it fires or is invalidated, whoever else holds it.
    auto* keep = new std::shared_ptr<GlibTimer>(std::move(self));
    g_source_set_callback(source_, &GlibTimer::fire, keep,
                          [](gpointer p) { delete static_cast<std::shared_ptr<GlibTimer>*>(p); });
    g_source_attach(source_, context);
  }

 private:
  static gboolean fire(gpointer data) {
    auto self = *static_cast<std::shared_ptr<GlibTimer>*>(data);
    if (self->valid_) {
      self->valid_ = false;
      auto action = std::move(self->action_);
      self->action_ = nullptr;
      if (action) action();
    }
    return G_SOURCE_REMOVE;
  }

  Closure action_;
  GSource* source_ = nullptr;
  bool valid_ = true;
};

struct DelayedWork {
  Closure work;
};

}  // namespace

void GlibRunLoop::LoopUnref::operator()(GMainLoop* l) const { g_main_loop_unref(l); }

GlibRunLoop::GlibRunLoop()
    : context_(g_main_context_default()), loop_(g_main_loop_new(context_, FALSE)) {}

GlibRunLoop::~GlibRunLoop() = default;

int GlibRunLoop::drainPosted(void* data) {
  auto* self = static_cast<GlibRunLoop*>(data);
  std::deque<Closure> batch;
  {
    std::lock_guard lock(self->mutex_);
    batch.swap(self->posted_);
    self->wakeupPending_ = false;
  }
  for (auto& work : batch) work();
  return G_SOURCE_REMOVE;
}

void GlibRunLoop::post(Closure work) {
  std::lock_guard lock(mutex_);
  posted_.push_back(std::move(work));
  if (wakeupPending_) return;
  wakeupPending_ = true;
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, &GlibRunLoop::drainPosted, this, nullptr);
  g_source_attach(source, context_);
  g_source_unref(source);
}

void GlibRunLoop::postDelayed(Milliseconds delay, Closure work) {
  GSource* source = g_timeout_source_new(static_cast<guint>(std::max<long long>(0, delay.count())));
  g_source_set_callback(
      source,
      [](gpointer p) -> gboolean {
        static_cast<DelayedWork*>(p)->work();
        return G_SOURCE_REMOVE;
      },
      new DelayedWork{std::move(work)}, [](gpointer p) { delete static_cast<DelayedWork*>(p); });
  g_source_attach(source, context_);
  g_source_unref(source);
}

TimerRef GlibRunLoop::scheduleTimer(Milliseconds interval, Closure action) {
  auto timer = std::make_shared<GlibTimer>(std::move(action));
  timer->arm(context_, interval, timer);
  return timer;
}

void GlibRunLoop::run() { g_main_loop_run(loop_.get()); }

void GlibRunLoop::quit() { g_main_loop_quit(loop_.get()); }

void GlibRunLoop::runUntil(const std::function<bool()>& done) {
  while (!done()) g_main_context_iteration(context_, TRUE);
}

}  // namespace nuv::linux_backend
