#include "platform/linux/sqlite/SqliteCloudDatabase.h"

#include <gio/gio.h>

#include <string_view>
#include <vector>

#include "platform/Log.h"
#include "platform/linux/GlibHandles.h"
#include "platform/linux/runtime/SerialWorker.h"
#include "platform/linux/sqlite/SqliteCloudStore.h"

namespace nuv::linux_backend {

void SqliteCloudDatabase::shutdownAll() { SerialWorker::shutdownAll(); }

SqliteCloudDatabase::SqliteCloudDatabase(std::string path, bool privateFolder)
    : store_(std::make_shared<SqliteCloudStore>(std::move(path), privateFolder)),
      // The hook keeps the store alive for as long as the worker can call it.
      worker_(SerialWorker::start([store = store_] { store->interrupt(); })) {}

SqliteCloudDatabase::~SqliteCloudDatabase() { worker_->stop(); }

const std::string& SqliteCloudDatabase::path() const { return store_->path(); }

void SqliteCloudDatabase::waitUntilIdle() { worker_->waitUntilIdle(); }

void SqliteCloudDatabase::enqueue(std::function<void(SqliteCloudStore&)> task) {
  worker_->enqueue([store = store_, task = std::move(task)] { task(*store); });
}

void SqliteCloudDatabase::performQuery(const CloudQuery& query, std::optional<std::string> zoneName,
                                       QueryCompletion completion) {
  enqueue([query, zone = zoneName.value_or(kCloudDefaultZoneName),
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
  enqueue([subscription, completion = std::move(completion)](SqliteCloudStore& store) {
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
  enqueue([operation, handedOver = std::move(handedOver)](SqliteCloudStore& store) {
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
  enqueue([recordID, completion = std::move(completion)](SqliteCloudStore& store) {
    auto failure = store.remove(recordID);
    if (completion) completion(recordID, std::move(failure));
  });
}

void SqliteCloudDatabase::checkForOutsideChanges(OutsideChangesCompletion completion) {
  enqueue([completion = std::move(completion)](SqliteCloudStore& store) {
    auto result = store.outsideChangesSinceLastCheck();
    if (!completion) return;
    if (auto* failure = std::get_if<CloudError>(&result)) {
      completion(false, std::move(*failure));
    } else {
      completion(std::get<bool>(result), std::nullopt);
    }
  });
}

Subscription SqliteCloudDatabase::observeOutsideChanges(std::function<void()> hint) {
  struct Watch {
    std::string base;  // the database file's name: "x.sqlite" covers -wal and -journal
    std::function<void()> hint;
  };
  glib::String folder(g_path_get_dirname(path().c_str()));
  if (g_mkdir_with_parents(folder.get(), 0700) != 0) {
    log::warning("cloud: cannot watch " + std::string(folder.get()) +
                 " for changes by other processes: " + g_strerror(errno));
    return {};
  }
  glib::Object<GFile> file(g_file_new_for_path(folder.get()));
  GError* raw = nullptr;
  GFileMonitor* monitor =
      g_file_monitor_directory(file.get(), G_FILE_MONITOR_WATCH_MOVES, nullptr, &raw);
  if (!monitor) {
    glib::Error error(raw);
    log::warning("cloud: cannot watch " + std::string(folder.get()) +
                 " for changes by other processes: " + (error ? error->message : "unknown"));
    return {};
  }
  glib::String base(g_path_get_basename(path().c_str()));
  auto* watch = new Watch{base.get(), std::move(hint)};
  auto onChanged =
      +[](GFileMonitor*, GFile* changed, GFile* other, GFileMonitorEvent event, gpointer data) {
        // Attribute changes are our own chmods; the other events of a write
        // (CHANGES_DONE_HINT after CHANGED) would only check twice.
        if (event == G_FILE_MONITOR_EVENT_ATTRIBUTE_CHANGED ||
            event == G_FILE_MONITOR_EVENT_CHANGES_DONE_HINT ||
            event == G_FILE_MONITOR_EVENT_UNMOUNTED) {
          return;
        }
        const auto& w = *static_cast<Watch*>(data);
        for (GFile* f : {changed, other}) {
          if (!f) continue;
          glib::String name(g_file_get_basename(f));
          const std::string_view n(name.get());
          if (n.substr(0, w.base.size()) == w.base &&
              (n.size() == w.base.size() || n.substr(w.base.size()) == "-wal" ||
               n.substr(w.base.size()) == "-journal")) {
            w.hint();
            return;
          }
        }
      };
  g_signal_connect_data(
      monitor, "changed", G_CALLBACK(onChanged), watch,
      [](gpointer p, GClosure*) { delete static_cast<Watch*>(p); }, static_cast<GConnectFlags>(0));
  return Subscription([monitor] {
    g_file_monitor_cancel(monitor);
    g_object_unref(monitor);
  });
}

}  // namespace nuv::linux_backend
