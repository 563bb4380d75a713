#include "cloud/TodoListRefresher.h"

#include <utility>

#include "cloud/TodoFetcher.h"
#include "platform/BusNames.h"
#include "platform/NotificationCenter.h"

namespace nuv {

std::shared_ptr<TodoListRefresher> TodoListRefresher::create(
    RunLoop& loop, TodoFetcher& fetcher, NotificationCenter* distributedCenter) {
  return std::shared_ptr<TodoListRefresher>(
      new TodoListRefresher(loop, fetcher, distributedCenter));
}

TodoListRefresher::TodoListRefresher(RunLoop& loop, TodoFetcher& fetcher,
                                     NotificationCenter* distributedCenter)
    : loop_(loop), fetcher_(fetcher), center_(distributedCenter) {}

TodoListRefresher::~TodoListRefresher() {
  if (fetchTimer_) fetchTimer_->invalidate();
}

void TodoListRefresher::start() {
  if (center_) {
    std::weak_ptr<TodoListRefresher> weak = weak_from_this();
    signInObservation_ =
        center_->addObserver(bus::kCloudSignedInNotification, [weak](const Notification&) {
          if (auto self = weak.lock()) self->signedIn();
        });
  }
  // The baseline check goes to the backend before the first fetch, so a
  // change made after that fetch read the records is never taken for old.
  observeOutsideChanges();
  refreshNow();
}

void TodoListRefresher::signedIn() {
  fetcher_.retryPendingWrites();
  backoff_.reset();
  refreshNow();
}

void TodoListRefresher::refreshNow() {
  if (fetching_) {
    fetchAgain_ = true;
    return;
  }
  if (fetchTimer_) fetchTimer_->invalidate();
  fetchTimer_.reset();
  fetching_ = true;
  std::weak_ptr<TodoListRefresher> weak = weak_from_this();
  fetcher_.fetch([weak](std::optional<CloudError> error) {
    if (auto self = weak.lock()) self->fetchDone(error);
  });
}

void TodoListRefresher::fetchDone(const std::optional<CloudError>& error) {
  fetching_ = false;
  if (error) {
    const Milliseconds wait = backoff_.next(error->retryAfter);
    log_.failed(*error, wait);
    scheduleFetch(wait);
  } else {
    const auto list = fetcher_.todos();
    log_.succeeded(std::to_string(list ? list->size() : 0) + " record(s)");
    backoff_.reset();
    scheduleFetch(kRefreshInterval);
    if (listFetched_) listFetched_();
  }
  if (fetchAgain_) {
    fetchAgain_ = false;
    refreshNow();
  }
}

void TodoListRefresher::scheduleFetch(Milliseconds delay) {
  if (fetchTimer_) fetchTimer_->invalidate();
  std::weak_ptr<TodoListRefresher> weak = weak_from_this();
  fetchTimer_ = loop_.scheduleTimer(delay, [weak] {
    if (auto self = weak.lock()) self->refreshNow();
  });
}

void TodoListRefresher::deviceWithoutRecord() {
  // A fetch under way or being retried answers the question anyway.
  if (fetching_ || backoff_.failures() > 0) return;
  const MonotonicTime now = loop_.clock().monotonicNow();
  if (lastDeviceWithoutRecord_ && now - *lastDeviceWithoutRecord_ < kDeviceWithoutRecordInterval) {
    return;
  }
  lastDeviceWithoutRecord_ = now;
  refreshNow();
}

void TodoListRefresher::observeOutsideChanges() {
  auto db = fetcher_.database();
  if (!db || !db->tracksOutsideChanges()) return;
  std::weak_ptr<TodoListRefresher> weak = weak_from_this();
  RunLoop& loop = loop_;
  outsideObservation_ = db->observeOutsideChanges([weak, &loop] {
    loop.post([weak] {
      if (auto self = weak.lock()) self->checkOutsideChanges();
    });
  });
  checkOutsideChanges();
}

void TodoListRefresher::checkOutsideChanges() {
  auto db = fetcher_.database();
  if (!db) return;
  // One check at a time: hints that come meanwhile (a burst of writes, a
  // backend stuck on a locked database) make one more check afterwards.
  if (checking_) {
    checkAgain_ = true;
    return;
  }
  checking_ = true;
  std::weak_ptr<TodoListRefresher> weak = weak_from_this();
  RunLoop& loop = loop_;
  db->checkForOutsideChanges([weak, &loop](bool changed, std::optional<CloudError>) {
    loop.post([weak, changed] {
      auto self = weak.lock();
      if (!self) return;
      self->checking_ = false;
      if (changed) self->refreshNow();
      if (std::exchange(self->checkAgain_, false)) self->checkOutsideChanges();
    });
  });
}

}  // namespace nuv
