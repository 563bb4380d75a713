#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "cloud/Backoff.h"
#include "cloud/FailureLog.h"
#include "platform/RunLoop.h"
#include "platform/cloud/CloudDatabase.h"
#include "platform/cloud/CloudWriteStatus.h"

namespace nuv {

// The record store's battery writes: each record has at most one write in
// flight and one waiting. A newer value for a record replaces the one
// waiting (newest wins; the keys the older one changed are kept, so nothing
// it carried is lost). A failed write is tried again, with the Backoff
// schedule counted from the start of the failed try (a try that waited 5 s
// for a locked database has waited already) and never before the service's
// retryAfter, until it lands or a newer value replaces it; a write for a record that is gone
// (deleted, or no longer in the store's list) is dropped, and so is one the backend refuses as
// malformed.
//
// Threading: write() and retryNow() may be called on any thread and return at
// once. Saves run on the backend's worker threads; their completions are
// handled there; the waits between tries are delayed work on the main loop
// that only hands the next save to the backend. The hooks run on the thread
// that makes the state change: `saved`, `failed` and `gone` on a backend
// worker, `isKnown` on the main loop; `statusChanged` is posted to the main
// loop.
class RecordWriteQueue : public std::enable_shared_from_this<RecordWriteQueue> {
 public:
  struct Hooks {
    std::function<CloudDatabaseRef()> database;
    // Whether the store's list still holds a record of that name.
    std::function<bool(const std::string& recordName)> isKnown;
    std::function<void(CloudRecordRef saved)> saved;
    std::function<void(CloudError error)> failed;
    // The backend said the record no longer exists.
    std::function<void(const CloudRecordID& recordID)> gone;
    std::function<void(const CloudWriteStatus& status)> statusChanged;
  };

  static std::shared_ptr<RecordWriteQueue> create(RunLoop& mainLoop, Hooks hooks);

  // Saves the record's content as it is now (its changed keys).
  void write(const CloudRecordRef& record);
  // Every write waiting for its retry is sent now (the user just signed in).
  void retryNow();

  CloudWriteStatus status() const;

 private:
  struct Slot {
    std::optional<CloudRecordData> waiting;
    bool inFlight = false;
    bool retryScheduled = false;
    std::uint64_t generation = 0;  // tells a due retry from one that was superseded
    MonotonicTime sentAt;          // of the write in flight
    Backoff backoff;
  };

  RecordWriteQueue(RunLoop& mainLoop, Hooks hooks);

  // With the lock held: takes the slot's waiting value for sending, or
  // nothing when it has none or is busy.
  std::optional<CloudRecordData> takeForSendLocked(Slot& slot);
  void send(CloudRecordData data);
  void onSaved(const CloudRecordData& sent, CloudRecordRef saved);
  void onFailed(const CloudRecordData& sent, CloudError error);
  void retry(const std::string& recordName, std::uint64_t generation);
  void publishStatus();
  CloudWriteStatus statusLocked() const;

  RunLoop& mainLoop_;
  const Hooks hooks_;
  FailureLog log_{"saving battery values"};
  mutable std::mutex mutex_;  // guards everything below
  std::map<std::string, Slot> slots_;
  CloudWriteStatus landed_;     // the last write that landed; no pending count
  CloudWriteStatus published_;  // what statusChanged was last given
};

}  // namespace nuv
