#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "cloud/Todo.h"
#include "cloud/TodoFetcherDelegate.h"
#include "platform/RunLoop.h"
#include "platform/cloud/CloudContainer.h"
#include "platform/cloud/CloudWriteStatus.h"

namespace nuv {

class RecordWriteQueue;

// The record store: the list of "Todo" records of the companion app's
// container, kept as todos, and the cloud calls that load, save and delete
// them.
//
// Threading: every public call may be made on any thread and returns at once.
// Cloud completions arrive on backend worker threads and are carried over to
// the main loop; the list is only ever stored there, always as a new list, so
// a list handed out by todos() is never changed afterwards. Delegate reports
// run on the main loop, each in its own posted block.
class TodoFetcher : public std::enable_shared_from_this<TodoFetcher> {
 public:
  static constexpr const char* kContainerIdentifier = "iCloud.vemo.voltaline.Voltaline";

  using TodoList = std::vector<TodoRef>;
  using TodoListRef = std::shared_ptr<const TodoList>;
  using FetchCompletion = std::function<void(std::optional<CloudError> error)>;

  // A store on `container`'s private database; a null container leaves the
  // store without a database, and every cloud call then fails with
  // BadContainer through the reports. `mainLoop` must outlive the store.
  static std::shared_ptr<TodoFetcher> create(RunLoop& mainLoop, CloudContainerRef container);

  // The process-wide store, made on the first call (thread-safe) on
  // processServices().mainLoop and the container kContainerIdentifier from the
  // installed cloud backend. Never destroyed.
  static TodoFetcher& sharedFetcher();

  TodoFetcher(const TodoFetcher&) = delete;
  TodoFetcher& operator=(const TodoFetcher&) = delete;

  // Saves a query subscription on every "Todo" record (creation, update,
  // deletion; content-available notifications).
  void registerSubscriptions();

  // Queries every "Todo" record and, on success, replaces the list with them
  // in the order returned. `done` runs on the main loop: on success in the
  // block that stores the list (before the update report); on failure after
  // the failure report.
  void fetch();
  void fetch(FetchCompletion done);

  // Folds `incoming` into the list on the main loop: replaces the todos with
  // the same record names, adds the rest, sorts by modification date (oldest
  // first, records without a date first, ties keep their order) and reports
  // an update. An empty list changes and reports nothing.
  void mergeTodoArrayWithArray(TodoList incoming);

  // Saves each todo's record (changed keys), one operation per todo, in list
  // order. A saved record enters the list through the merge.
  void add(const TodoList& todos);
  // Deletes each todo's record; on success the todo is taken out of the list
  // current at that moment on the main loop. A null todo does nothing.
  void remove(const TodoRef& todo);
  void remove(const TodoList& todos);
  // Saves the record's changed keys; on success the saved record is merged.
  // The record's content is taken when the call is made: later writes to it
  // are not part of this save. A failed save is reported and tried again (see
  // RecordWriteQueue) until it lands, a newer value for the record replaces
  // it, or the record is gone: a record the backend no longer has is taken
  // out of the list.
  void updateRecord(const CloudRecordRef& record);
  // Writes waiting for their next try are sent now (after a sign-in).
  void retryPendingWrites();
  CloudWriteStatus writeStatus() const;
  // Called on the main loop whenever the write status changes.
  void setWriteStatusObserver(std::function<void(const CloudWriteStatus&)> observer);

  void reportDidFailWithError(CloudError error);
  void reportDidUpdateTodos();

  // The current list; null before the first successful fetch.
  TodoListRef todos() const;

  std::shared_ptr<TodoFetcherDelegate> delegate() const;
  // Held weakly: a delegate that is gone receives nothing.
  void setDelegate(std::weak_ptr<TodoFetcherDelegate> delegate);

  CloudDatabaseRef database() const;
  void setDatabase(CloudDatabaseRef database);

 private:
  TodoFetcher(RunLoop& mainLoop, CloudContainerRef container);

  void saveRecord(const CloudRecordRef& record);
  void storeTodos(TodoListRef list);
  void mergeOnMain(const TodoList& incoming);
  void removeOnMain(const TodoRef& removed);
  void dropRecordOnMain(const CloudRecordID& recordID);
  bool holdsRecordNamed(const std::string& recordName) const;
  static CloudError noDatabaseError();

  RunLoop& mainLoop_;
  std::shared_ptr<RecordWriteQueue> writes_;  // set once by create()
  mutable std::mutex mutex_;                  // guards the fields below
  TodoListRef todos_;
  std::weak_ptr<TodoFetcherDelegate> delegate_;
  CloudDatabaseRef database_;
  std::function<void(const CloudWriteStatus&)> writeStatusObserver_;
};

}  // namespace nuv
