#include "cloud/TodoFetcher.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "cloud/RecordWriteQueue.h"
#include "platform/Log.h"
#include "platform/ProcessServices.h"

namespace nuv {

std::shared_ptr<TodoFetcher> TodoFetcher::create(RunLoop& mainLoop, CloudContainerRef container) {
  auto fetcher = std::shared_ptr<TodoFetcher>(new TodoFetcher(mainLoop, std::move(container)));
  // The queue outlives neither the store nor its own pending work; it holds
  // the store weakly.
  std::weak_ptr<TodoFetcher> weak = fetcher;
  RecordWriteQueue::Hooks hooks;
  hooks.database = [weak]() -> CloudDatabaseRef {
    auto self = weak.lock();
    return self ? self->database() : nullptr;
  };
  hooks.isKnown = [weak](const std::string& recordName) {
    auto self = weak.lock();
    return self && self->holdsRecordNamed(recordName);
  };
  hooks.saved = [weak](CloudRecordRef saved) {
    if (auto self = weak.lock()) {
      self->mergeTodoArrayWithArray(TodoList{Todo::todoWithRecord(std::move(saved))});
    }
  };
  hooks.failed = [weak](CloudError error) {
    if (auto self = weak.lock()) self->reportDidFailWithError(std::move(error));
  };
  hooks.gone = [weak](const CloudRecordID& recordID) {
    if (auto self = weak.lock()) {
      self->mainLoop_.post([self, recordID] { self->dropRecordOnMain(recordID); });
    }
  };
  hooks.statusChanged = [weak](const CloudWriteStatus& status) {
    auto self = weak.lock();
    if (!self) return;
    std::function<void(const CloudWriteStatus&)> observer;
    {
      std::lock_guard lock(self->mutex_);
      observer = self->writeStatusObserver_;
    }
    if (observer) observer(status);
  };
  fetcher->writes_ = RecordWriteQueue::create(mainLoop, std::move(hooks));
  return fetcher;
}

TodoFetcher::TodoFetcher(RunLoop& mainLoop, CloudContainerRef container) : mainLoop_(mainLoop) {
  if (!container) {
    log::warning("TodoFetcher: no cloud container available");
    return;
  }
  database_ = container->privateCloudDatabase();
  log::info("TodoFetcher: cloud container " + container->containerIdentifier());
}

TodoFetcher& TodoFetcher::sharedFetcher() {
  // Deliberately leaked: backend completions may still reach the store while
  // the process exits.
  static auto* shared = new std::shared_ptr<TodoFetcher>(
      create(*processServices().mainLoop, containerWithIdentifier(kContainerIdentifier)));
  return **shared;
}

CloudError TodoFetcher::noDatabaseError() {
  return CloudError{CloudErrorCode::BadContainer, "no cloud database", std::nullopt};
}

void TodoFetcher::registerSubscriptions() {
  auto db = database();
  if (!db) {
    reportDidFailWithError(noDatabaseError());
    return;
  }
  CloudQuerySubscription subscription;
  subscription.recordType = Todo::kRecordType;
  subscription.options =
      kCloudFiresOnRecordCreation | kCloudFiresOnRecordUpdate | kCloudFiresOnRecordDeletion;
  subscription.notificationInfo.shouldSendContentAvailable = true;
  auto self = shared_from_this();
  db->saveSubscription(
      subscription, [self](std::optional<CloudQuerySubscription>, std::optional<CloudError> error) {
        if (error) self->reportDidFailWithError(std::move(*error));
      });
}

void TodoFetcher::fetch() { fetch(nullptr); }

void TodoFetcher::fetch(FetchCompletion done) {
  auto self = shared_from_this();
  auto fail = [self, done](CloudError error) {
    self->reportDidFailWithError(error);
    if (done) self->mainLoop_.post([done, error] { done(error); });
  };
  auto db = database();
  if (!db) {
    fail(noDatabaseError());
    return;
  }
  CloudQuery query;
  query.recordType = Todo::kRecordType;
  db->performQuery(
      query, std::nullopt,
      [self, done, fail](std::vector<CloudRecordRef> records, std::optional<CloudError> error) {
        if (error) {
          fail(std::move(*error));
          return;
        }
        auto list = std::make_shared<TodoList>();
        list->reserve(records.size());
        for (auto& record : records) list->push_back(Todo::todoWithRecord(record));
        self->mainLoop_.post([self, list = TodoListRef(std::move(list)), done] {
          self->storeTodos(list);
          self->reportDidUpdateTodos();
          if (done) done(std::nullopt);
        });
      });
}

void TodoFetcher::mergeTodoArrayWithArray(TodoList incoming) {
  auto self = shared_from_this();
  mainLoop_.post([self, incoming = std::move(incoming)] { self->mergeOnMain(incoming); });
}

void TodoFetcher::mergeOnMain(const TodoList& incoming) {
  if (incoming.empty()) return;
  const TodoListRef current = todos();

  std::unordered_set<std::string> names;
  for (const auto& todo : incoming) {
    if (todo && todo->record()) names.insert(todo->record()->recordID().recordName);
  }

  // Sort keys are read once per todo: each read locks the record.
  std::vector<std::pair<std::optional<Date>, TodoRef>> keyed;
  keyed.reserve((current ? current->size() : 0) + incoming.size());
  if (current) {
    for (const auto& todo : *current) {
      const bool replaced =
          todo && todo->record() && names.count(todo->record()->recordID().recordName) > 0;
      if (!replaced) keyed.emplace_back(todo ? todo->modificationDate() : std::nullopt, todo);
    }
  }
  for (const auto& todo : incoming) {
    keyed.emplace_back(todo ? todo->modificationDate() : std::nullopt, todo);
  }
  // Absent dates order before every date.
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });

  auto merged = std::make_shared<TodoList>();
  merged->reserve(keyed.size());
  for (auto& entry : keyed) merged->push_back(std::move(entry.second));
  storeTodos(std::move(merged));
  reportDidUpdateTodos();
}

void TodoFetcher::add(const TodoList& todos) {
  for (const auto& todo : todos) {
    if (todo) saveRecord(todo->record());
  }
}

void TodoFetcher::updateRecord(const CloudRecordRef& record) {
  if (!record) {
    reportDidFailWithError(
        CloudError{CloudErrorCode::InvalidArguments, "no record to save", std::nullopt});
    return;
  }
  writes_->write(record);
}

void TodoFetcher::retryPendingWrites() { writes_->retryNow(); }

CloudWriteStatus TodoFetcher::writeStatus() const { return writes_->status(); }

void TodoFetcher::setWriteStatusObserver(std::function<void(const CloudWriteStatus&)> observer) {
  std::lock_guard lock(mutex_);
  writeStatusObserver_ = std::move(observer);
}

bool TodoFetcher::holdsRecordNamed(const std::string& recordName) const {
  const TodoListRef current = todos();
  if (!current) return false;
  return std::any_of(current->begin(), current->end(), [&](const TodoRef& t) {
    return t && t->record() && t->record()->recordID().recordName == recordName;
  });
}

void TodoFetcher::dropRecordOnMain(const CloudRecordID& recordID) {
  const TodoListRef current = todos();
  if (!current) return;
  auto kept = std::make_shared<TodoList>();
  for (const auto& todo : *current) {
    if (!todo || !todo->record() || todo->record()->recordID() != recordID) kept->push_back(todo);
  }
  if (kept->size() == current->size()) return;
  storeTodos(std::move(kept));
  reportDidUpdateTodos();
}

void TodoFetcher::saveRecord(const CloudRecordRef& record) {
  if (!record) {
    reportDidFailWithError(
        CloudError{CloudErrorCode::InvalidArguments, "no record to save", std::nullopt});
    return;
  }
  auto db = database();
  if (!db) {
    reportDidFailWithError(noDatabaseError());
    return;
  }
  auto operation =
      std::make_shared<CloudModifyRecordsOperation>(std::vector<CloudRecordRef>{record});
  operation->setSavePolicy(CloudRecordSavePolicy::ChangedKeys);
  auto self = shared_from_this();
  operation->setPerRecordCompletionBlock(
      [self](CloudRecordRef saved, std::optional<CloudError> error) {
        if (error) {
          self->reportDidFailWithError(std::move(*error));
          return;
        }
        self->mergeTodoArrayWithArray(TodoList{Todo::todoWithRecord(std::move(saved))});
      });
  db->addOperation(std::move(operation));
}

void TodoFetcher::remove(const TodoRef& todo) {
  if (todo) remove(TodoList{todo});
}

void TodoFetcher::remove(const TodoList& todos) {
  for (const auto& todo : todos) {
    if (!todo) continue;
    if (!todo->record()) {
      reportDidFailWithError(
          CloudError{CloudErrorCode::InvalidArguments, "todo without a record", std::nullopt});
      continue;
    }
    auto db = database();
    if (!db) {
      reportDidFailWithError(noDatabaseError());
      continue;
    }
    auto self = shared_from_this();
    db->deleteRecordWithID(todo->record()->recordID(),
                           [self, todo](CloudRecordID, std::optional<CloudError> error) {
                             if (error) {
                               self->reportDidFailWithError(std::move(*error));
                               return;
                             }
                             // The shortened list is built from the list current on the
                             // main loop, so a merge stored meanwhile is not lost.
                             self->mainLoop_.post([self, todo] { self->removeOnMain(todo); });
                           });
  }
}

void TodoFetcher::removeOnMain(const TodoRef& removed) {
  const TodoListRef current = todos();
  if (current) {
    auto shortened = std::make_shared<TodoList>(*current);
    auto it = std::find_if(shortened->begin(), shortened->end(),
                           [&](const TodoRef& t) { return t && t->isEqual(removed.get()); });
    if (it != shortened->end()) shortened->erase(it);
    storeTodos(std::move(shortened));
  }
  reportDidUpdateTodos();
}

void TodoFetcher::reportDidFailWithError(CloudError error) {
  auto self = shared_from_this();
  mainLoop_.post([self, error = std::move(error)] {
    auto d = self->delegate();
    if (d && d->respondsTo(TodoFetcherDelegate::Message::TodoFetcherDidFailWithError)) {
      d->todoFetcherDidFailWithError(*self, error);
    }
  });
}

void TodoFetcher::reportDidUpdateTodos() {
  auto self = shared_from_this();
  mainLoop_.post([self] {
    auto d = self->delegate();
    if (d && d->respondsTo(TodoFetcherDelegate::Message::TodoFetcherDidUpdateTodos)) {
      d->todoFetcherDidUpdateTodos(*self);
    }
  });
}

void TodoFetcher::storeTodos(TodoListRef list) {
  std::lock_guard lock(mutex_);
  todos_ = std::move(list);
}

TodoFetcher::TodoListRef TodoFetcher::todos() const {
  std::lock_guard lock(mutex_);
  return todos_;
}

std::shared_ptr<TodoFetcherDelegate> TodoFetcher::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void TodoFetcher::setDelegate(std::weak_ptr<TodoFetcherDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

CloudDatabaseRef TodoFetcher::database() const {
  std::lock_guard lock(mutex_);
  return database_;
}

void TodoFetcher::setDatabase(CloudDatabaseRef database) {
  std::lock_guard lock(mutex_);
  database_ = std::move(database);
}

}  // namespace nuv
