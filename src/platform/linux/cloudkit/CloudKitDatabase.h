#pragma once

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>

#include "platform/cloud/CloudDatabase.h"
#include "platform/linux/cloudkit/CloudKitClient.h"

namespace nuv::linux_backend {

class SerialWorker;

// The private database of a CloudKit container, over CloudKit Web Services.
//
// Calls queue work for one worker thread of the database and return at once;
// the worker sends the requests one at a time (the client's rule) and runs
// the completions, in the order the calls were made.
//
// - Query: records/query, following continuationMarker until the list is
//   complete; a marker that comes back a second time fails the query instead
//   of looping.
// - Save: records/modify, one request per operation. ChangedKeys becomes
//   forceUpdate with only the changed fields (every field for a record that
//   was never saved), AllKeys forceUpdate with every field (the fields removed
//   from the record sent as null), IfServerRecordUnchanged update with the
//   change tag (create for a never-saved record). Every field carries its
//   type, a removed one too: its type comes from `fieldTypes` or from the
//   records read so far; a removed field of unknown type fails the save
//   (InvalidArguments) without a request. Every entry of the answer is
//   checked: an error dictionary inside an HTTP 200 answer fails its record;
//   a record without an entry fails too.
// - Delete: records/modify with forceDelete; NOT_FOUND maps to UnknownItem.
// - Subscription: subscriptions/modify with create.
//
// Booleans travel as INT64 0/1; fields named in `booleanKeys` read back as
// booleans. Field types the record layer cannot hold (DOUBLE, BYTES,
// REFERENCE, ASSET, LOCATION, lists) are left out of the records read.
//
// Every failure reaches the completion once, unchanged from the client (server
// errors keep their serverErrorCode and reason in the message), and is
// written to the debug log without any token: the record store logs what
// deserves a warning, once per kind. Nothing is retried here.
//
// Shutdown: destroying the database interrupts the request in progress, drops
// the queued work (its completions never run) and joins the worker; at
// process exit every live worker is stopped the same way.
class CloudKitDatabase : public CloudDatabase {
 public:
  static constexpr int kResultsLimit = 200;

  // Field key -> wire type ("STRING", "INT64", ...).
  using FieldTypes = std::map<std::string, std::string>;

  CloudKitDatabase(std::shared_ptr<CloudKitClient> client, std::set<std::string> booleanKeys,
                   FieldTypes fieldTypes = {});
  ~CloudKitDatabase() override;
  CloudKitDatabase(const CloudKitDatabase&) = delete;
  CloudKitDatabase& operator=(const CloudKitDatabase&) = delete;

  CloudDatabaseScope databaseScope() const override { return CloudDatabaseScope::Private; }
  void performQuery(const CloudQuery& query, std::optional<std::string> zoneName,
                    QueryCompletion completion) override;
  void saveSubscription(const CloudQuerySubscription& subscription,
                        SubscriptionCompletion completion) override;
  void addOperation(std::shared_ptr<CloudModifyRecordsOperation> operation) override;
  void deleteRecordWithID(const CloudRecordID& recordID, DeleteCompletion completion) override;

  // Blocks until every call made before has completed. Not from a completion.
  void waitUntilIdle();

  // Stops every cloud worker of the process, the embedded database's
  // included (what happens at exit). Idempotent.
  static void shutdownAll();

  // The wire form of one field value: {"value": V, "type": T}.
  static nlohmann::json fieldToJson(const CloudFieldValue& value);
  // A field read from the wire; absent for types the record layer cannot
  // hold or a value that does not match its type.
  static std::optional<CloudFieldValue> fieldFromJson(const nlohmann::json& field, bool isBoolean);
  // A record dictionary of an answer; absent when it has no record name.
  static std::optional<CloudRecordData> recordFromJson(const nlohmann::json& record,
                                                       const std::set<std::string>& booleanKeys,
                                                       const std::string& zoneName);
  // One records/modify operation saving `record` under `policy`; absent when
  // a removed field's type is not in `fieldTypes` (its name in `untyped`).
  static std::optional<nlohmann::json> saveOperationJson(const CloudRecordData& record,
                                                         CloudRecordSavePolicy policy,
                                                         const FieldTypes& fieldTypes,
                                                         std::string* untyped = nullptr);

 private:
  std::shared_ptr<CloudKitClient> client_;
  std::shared_ptr<const std::set<std::string>> booleanKeys_;
  // The configured types, completed by those of the records read; used by
  // the worker only.
  std::shared_ptr<FieldTypes> fieldTypes_;
  std::shared_ptr<SerialWorker> worker_;
};

}  // namespace nuv::linux_backend
