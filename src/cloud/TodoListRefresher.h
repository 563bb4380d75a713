#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "cloud/Backoff.h"
#include "cloud/FailureLog.h"
#include "platform/RunLoop.h"
#include "platform/Subscription.h"
#include "platform/cloud/CloudError.h"

namespace nuv {

class NotificationCenter;
class TodoFetcher;

// Keeps the record store's list current: the first fetch at start-up, and
// after that
// - a failed fetch again with the Backoff schedule until one succeeds;
// - a fetch every 10 minutes, for changes the backend cannot announce;
// - a fetch at once when the user signs in (the distributed notification
//   bus::kCloudSignedInNotification, posted by `nuvctl cloud login`), which also sends
//   the writes waiting for a retry;
// - a fetch at once when the backend sees that another process changed the
//   records (on backends that can tell: checked whenever the backend hints
//   that its storage was written, never on a timer);
// - a fetch when a device has no record in the list, at most once a minute
//   (and not while failed fetches are being retried anyway).
// At most one fetch runs at a time; a reason that comes up meanwhile fetches
// once more afterwards.
//
// Loop thread only. Create with create(); the store and the centre must
// outlive it.
class TodoListRefresher : public std::enable_shared_from_this<TodoListRefresher> {
 public:
  static constexpr Milliseconds kRefreshInterval{600000};
  static constexpr Milliseconds kDeviceWithoutRecordInterval{60000};

  // `distributedCenter` may be null: no sign-in notifications then.
  static std::shared_ptr<TodoListRefresher> create(RunLoop& loop, TodoFetcher& fetcher,
                                                   NotificationCenter* distributedCenter);
  ~TodoListRefresher();
  TodoListRefresher(const TodoListRefresher&) = delete;
  TodoListRefresher& operator=(const TodoListRefresher&) = delete;

  // The first fetch, the sign-in observer and the outside-change observation.
  void start();
  // A fetch now (or right after the one in progress).
  void refreshNow();
  // A probe result named a device that has no record in the list.
  void deviceWithoutRecord();
  // Called on the loop after every successful fetch, once the list is stored.
  void setListFetchedHandler(std::function<void()> handler) { listFetched_ = std::move(handler); }

 private:
  TodoListRefresher(RunLoop& loop, TodoFetcher& fetcher, NotificationCenter* distributedCenter);

  void fetchDone(const std::optional<CloudError>& error);
  void scheduleFetch(Milliseconds delay);
  void observeOutsideChanges();
  void checkOutsideChanges();
  void signedIn();

  RunLoop& loop_;
  TodoFetcher& fetcher_;
  NotificationCenter* center_;
  Subscription signInObservation_;
  std::function<void()> listFetched_;
  TimerRef fetchTimer_;
  Subscription outsideObservation_;
  bool fetching_ = false;
  bool checking_ = false;
  bool checkAgain_ = false;
  bool fetchAgain_ = false;
  std::optional<MonotonicTime> lastDeviceWithoutRecord_;
  Backoff backoff_;
  FailureLog log_{"fetching the records"};
};

}  // namespace nuv
