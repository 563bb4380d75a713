#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "platform/cloud/CloudError.h"
#include "platform/cloud/CloudRecord.h"

namespace nuv {

// How a save treats the record already stored under the same record ID.
enum class CloudRecordSavePolicy : int {
  // Refuse (ServerRecordChanged) unless the record's change tag matches the
  // stored one; writes the changed keys.
  IfServerRecordUnchanged = 0,
  // Write only the record's changed keys; every other stored field stays.
  ChangedKeys = 1,
  // Replace the stored fields with all of the record's fields.
  AllKeys = 2,
};

// A batch of record saves handed to a database with CloudDatabase::addOperation.
//
// Configure it before handing it over; from then on the database owns the run.
// The database snapshots the records' content when the operation is handed
// over, so a record written afterwards (on any thread) does not change what
// this operation saves.
class CloudModifyRecordsOperation {
 public:
  // Called once per record, on a backend worker thread: with the record as the
  // store saved it and no error, or with the record that was handed over and
  // the error.
  using PerRecordCompletion =
      std::function<void(CloudRecordRef record, std::optional<CloudError> error)>;

  explicit CloudModifyRecordsOperation(std::vector<CloudRecordRef> recordsToSave)
      : recordsToSave_(std::move(recordsToSave)) {}

  const std::vector<CloudRecordRef>& recordsToSave() const { return recordsToSave_; }

  CloudRecordSavePolicy savePolicy() const { return savePolicy_; }
  void setSavePolicy(CloudRecordSavePolicy policy) { savePolicy_ = policy; }

  const PerRecordCompletion& perRecordCompletionBlock() const { return perRecord_; }
  void setPerRecordCompletionBlock(PerRecordCompletion block) { perRecord_ = std::move(block); }

 private:
  std::vector<CloudRecordRef> recordsToSave_;
  CloudRecordSavePolicy savePolicy_ = CloudRecordSavePolicy::IfServerRecordUnchanged;
  PerRecordCompletion perRecord_;
};

}  // namespace nuv
