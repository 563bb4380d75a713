#include "platform/linux/cloudkit/CloudKitDatabase.h"

#include <cmath>
#include <map>
#include <vector>

#include "platform/Log.h"
#include "platform/linux/runtime/SerialWorker.h"

namespace nuv::linux_backend {

using nlohmann::json;

namespace {

void logFailure(const std::string& what, const CloudError& error) {
  log::debug("CloudKit " + what + " failed: " + error.message);
}

// Remembers the wire type of every field of a record read.
void learnTypes(const json& record, CloudKitDatabase::FieldTypes& types) {
  auto fields = record.find("fields");
  if (fields == record.end() || !fields->is_object()) return;
  for (const auto& [key, field] : fields->items()) {
    if (!field.is_object()) continue;
    if (auto type = field.find("type"); type != field.end() && type->is_string()) {
      types[key] = type->get<std::string>();
    }
  }
}

// The server's name of a sort key: system keys have names of their own.
std::string sortFieldName(const std::string& key) {
  if (key == "recordName") return "___recordID";
  if (key == "creationDate") return "___createTime";
  if (key == "modificationDate") return "___modTime";
  return key;
}

std::optional<std::int64_t> integerOf(const json& value) {
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_float()) {
    const double d = value.get<double>();
    if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9.2e18) {
      return static_cast<std::int64_t>(d);
    }
  }
  return std::nullopt;
}

std::optional<Date> timestampOf(const json& dictionary, const char* key) {
  auto it = dictionary.find(key);
  if (it == dictionary.end() || !it->is_object()) return std::nullopt;
  auto ts = it->find("timestamp");
  if (ts == it->end()) return std::nullopt;
  auto ms = integerOf(*ts);
  if (!ms || *ms > INT64_MAX / 1000 || *ms < INT64_MIN / 1000) return std::nullopt;
  return Date::fromMicroseconds(*ms * 1000);
}

bool isErrorEntry(const json& entry) {
  return entry.is_object() && entry.contains("serverErrorCode");
}

CloudError malformed(const std::string& what) {
  return CloudError{CloudErrorCode::InternalError, "CloudKit answer malformed: " + what,
                    std::nullopt};
}

}  // namespace

void CloudKitDatabase::shutdownAll() { SerialWorker::shutdownAll(); }

CloudKitDatabase::CloudKitDatabase(std::shared_ptr<CloudKitClient> client,
                                   std::set<std::string> booleanKeys, FieldTypes fieldTypes)
    : client_(std::move(client)),
      booleanKeys_(std::make_shared<const std::set<std::string>>(std::move(booleanKeys))),
      fieldTypes_(std::make_shared<FieldTypes>(std::move(fieldTypes))),
      // The hook keeps the client alive for as long as the worker can call it.
      worker_(SerialWorker::start([client = client_] { client->interrupt(); })) {}

CloudKitDatabase::~CloudKitDatabase() { worker_->stop(); }

void CloudKitDatabase::waitUntilIdle() { worker_->waitUntilIdle(); }

json CloudKitDatabase::fieldToJson(const CloudFieldValue& value) {
  return std::visit(
      [](const auto& v) -> json {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) {
          return {{"value", v}, {"type", "STRING"}};
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return {{"value", v}, {"type", "INT64"}};
        } else if constexpr (std::is_same_v<T, CloudBool>) {
          return {{"value", v.value ? 1 : 0}, {"type", "INT64"}};
        } else {
          // Whole milliseconds, rounded towards the past.
          const std::int64_t us = v.microseconds();
          const std::int64_t ms = us / 1000 - (us % 1000 < 0 ? 1 : 0);
          return {{"value", ms}, {"type", "TIMESTAMP"}};
        }
      },
      value);
}

std::optional<CloudFieldValue> CloudKitDatabase::fieldFromJson(const json& field, bool isBoolean) {
  if (!field.is_object()) return std::nullopt;
  auto valueIt = field.find("value");
  if (valueIt == field.end()) return std::nullopt;
  const json& value = *valueIt;
  std::string type;
  if (auto t = field.find("type"); t != field.end() && t->is_string()) {
    type = t->get<std::string>();
  } else if (value.is_string()) {
    type = "STRING";
  } else if (value.is_number_integer()) {
    type = "INT64";
  }
  if (type == "STRING") {
    if (!value.is_string()) return std::nullopt;
    return CloudFieldValue{value.get<std::string>()};
  }
  if (type == "INT64") {
    auto n = integerOf(value);
    if (!n) return std::nullopt;
    if (isBoolean) return CloudFieldValue{CloudBool{*n != 0}};
    return CloudFieldValue{*n};
  }
  if (type == "TIMESTAMP") {
    auto ms = integerOf(value);
    if (!ms || *ms > INT64_MAX / 1000 || *ms < INT64_MIN / 1000) return std::nullopt;
    return CloudFieldValue{Date::fromMicroseconds(*ms * 1000)};
  }
  return std::nullopt;
}

std::optional<CloudRecordData> CloudKitDatabase::recordFromJson(
    const json& record, const std::set<std::string>& booleanKeys, const std::string& zoneName) {
  if (!record.is_object()) return std::nullopt;
  auto name = record.find("recordName");
  if (name == record.end() || !name->is_string() || name->get<std::string>().empty()) {
    return std::nullopt;
  }
  CloudRecordData data;
  data.recordID.recordName = name->get<std::string>();
  data.recordID.zoneName = zoneName;
  if (auto zone = record.find("zoneID"); zone != record.end() && zone->is_object()) {
    if (auto z = zone->find("zoneName"); z != zone->end() && z->is_string()) {
      data.recordID.zoneName = z->get<std::string>();
    }
  }
  if (auto type = record.find("recordType"); type != record.end() && type->is_string()) {
    data.recordType = type->get<std::string>();
  }
  if (auto tag = record.find("recordChangeTag"); tag != record.end() && tag->is_string()) {
    data.recordChangeTag = tag->get<std::string>();
  }
  if (auto fields = record.find("fields"); fields != record.end() && fields->is_object()) {
    for (const auto& [key, field] : fields->items()) {
      auto value = fieldFromJson(field, booleanKeys.count(key) > 0);
      if (value) data.fields.insert_or_assign(key, std::move(*value));
    }
  }
  data.creationDate = timestampOf(record, "created");
  data.modificationDate = timestampOf(record, "modified");
  return data;
}

std::optional<json> CloudKitDatabase::saveOperationJson(const CloudRecordData& record,
                                                        CloudRecordSavePolicy policy,
                                                        const FieldTypes& fieldTypes,
                                                        std::string* untyped) {
  const bool neverSaved = !record.recordChangeTag.has_value();
  json fields = json::object();
  // A changed key without a value was removed from the record: sent as null,
  // with the type the field had.
  auto put = [&](const std::string& key) {
    if (auto it = record.fields.find(key); it != record.fields.end()) {
      fields[key] = fieldToJson(it->second);
      return true;
    }
    auto type = fieldTypes.find(key);
    if (type == fieldTypes.end()) {
      if (untyped) *untyped = key;
      return false;
    }
    fields[key] = {{"value", nullptr}, {"type", type->second}};
    return true;
  };
  if (neverSaved || policy == CloudRecordSavePolicy::AllKeys) {
    for (const auto& [key, value] : record.fields) put(key);
    if (!neverSaved) {
      for (const auto& key : record.changedKeys) {
        if (!record.fields.count(key) && !put(key)) return std::nullopt;
      }
    }
  } else {
    for (const auto& key : record.changedKeys) {
      if (!put(key)) return std::nullopt;
    }
  }
  json dict = {{"recordName", record.recordID.recordName},
               {"recordType", record.recordType},
               {"fields", std::move(fields)}};
  std::string type = "forceUpdate";
  if (policy == CloudRecordSavePolicy::IfServerRecordUnchanged) {
    type = neverSaved ? "create" : "update";
    if (!neverSaved) dict["recordChangeTag"] = *record.recordChangeTag;
  }
  return json{{"operationType", type}, {"record", std::move(dict)}};
}

void CloudKitDatabase::performQuery(const CloudQuery& query, std::optional<std::string> zoneName,
                                    QueryCompletion completion) {
  worker_->enqueue([client = client_, keys = booleanKeys_, types = fieldTypes_, query,
                    zone = zoneName.value_or(kCloudDefaultZoneName),
                    completion = std::move(completion)] {
    json body = {{"zoneID", {{"zoneName", zone}}},
                 {"query", {{"recordType", query.recordType}}},
                 {"resultsLimit", kResultsLimit}};
    if (!query.sortDescriptors.empty()) {
      json sortBy = json::array();
      for (const auto& sort : query.sortDescriptors) {
        sortBy.push_back({{"fieldName", sortFieldName(sort.key)}, {"ascending", sort.ascending}});
      }
      body["query"]["sortBy"] = std::move(sortBy);
    }
    std::vector<CloudRecordRef> records;
    std::set<std::string> markers;
    auto fail = [&](CloudError error) {
      logFailure("query", error);
      client->recordOutcome(error);
      if (completion) completion({}, std::move(error));
    };
    for (;;) {
      auto response = client->post("records/query", body);
      if (response.error) return fail(std::move(*response.error));
      auto list = response.body.find("records");
      if (list == response.body.end() || !list->is_array()) return fail(malformed("no records"));
      for (const auto& entry : *list) {
        if (isErrorEntry(entry)) return fail(CloudKitClient::errorFromServer(entry));
        auto data = recordFromJson(entry, *keys, zone);
        if (!data) return fail(malformed("a record without a record name"));
        learnTypes(entry, *types);
        records.push_back(std::make_shared<CloudRecord>(std::move(*data)));
      }
      auto marker = response.body.find("continuationMarker");
      if (marker == response.body.end() || marker->is_null()) break;
      if (!marker->is_string() || marker->get<std::string>().empty()) {
        return fail(malformed("continuation marker"));
      }
      // The same marker twice would repeat pages forever.
      if (!markers.insert(marker->get<std::string>()).second) {
        return fail(malformed("continuation marker repeated"));
      }
      body["continuationMarker"] = *marker;
    }
    if (completion) completion(std::move(records), std::nullopt);
  });
}

void CloudKitDatabase::saveSubscription(const CloudQuerySubscription& subscription,
                                        SubscriptionCompletion completion) {
  worker_->enqueue([client = client_, subscription, completion = std::move(completion)] {
    CloudQuerySubscription saved = subscription;
    if (!saved.subscriptionID) saved.subscriptionID = CloudRecord::makeRecordName();
    json firesOn = json::array();
    if (saved.options & kCloudFiresOnRecordCreation) firesOn.push_back("create");
    if (saved.options & kCloudFiresOnRecordUpdate) firesOn.push_back("update");
    if (saved.options & kCloudFiresOnRecordDeletion) firesOn.push_back("delete");
    json dict = {
        {"subscriptionID", *saved.subscriptionID},
        {"subscriptionType", "query"},
        {"query", {{"recordType", saved.recordType}}},
        {"firesOn", std::move(firesOn)},
        {"notificationInfo",
         {{"shouldSendContentAvailable", saved.notificationInfo.shouldSendContentAvailable}}}};
    if (saved.options & kCloudFiresOnce) dict["firesOnce"] = true;
    json body = {{"zoneID", {{"zoneName", kCloudDefaultZoneName}}},
                 {"operations",
                  json::array({{{"operationType", "create"}, {"subscription", std::move(dict)}}})}};
    auto response = client->post("subscriptions/modify", body);
    std::optional<CloudError> error = std::move(response.error);
    if (!error) {
      auto list = response.body.find("subscriptions");
      if (list == response.body.end() || !list->is_array() || list->empty()) {
        error = malformed("no subscription");
      } else if (isErrorEntry(list->front())) {
        error = CloudKitClient::errorFromServer(list->front());
        client->recordOutcome(error);
      } else if (auto id = list->front().find("subscriptionID");
                 id != list->front().end() && id->is_string()) {
        saved.subscriptionID = id->get<std::string>();
      }
    }
    if (error) {
      logFailure("subscription", *error);
      if (completion) completion(std::nullopt, std::move(error));
      return;
    }
    if (completion) completion(std::move(saved), std::nullopt);
  });
}

void CloudKitDatabase::addOperation(std::shared_ptr<CloudModifyRecordsOperation> operation) {
  if (!operation) return;
  // Taken on the caller's thread: later writes to the records are not part
  // of this save.
  std::vector<std::pair<CloudRecordRef, CloudRecordData>> handedOver;
  for (const auto& record : operation->recordsToSave()) {
    if (record) handedOver.emplace_back(record, record->snapshot());
  }
  if (handedOver.empty()) return;
  worker_->enqueue([client = client_, keys = booleanKeys_, types = fieldTypes_, operation,
                    handedOver = std::move(handedOver)] {
    const auto& block = operation->perRecordCompletionBlock();
    const auto policy = operation->savePolicy();
    // One request per zone, in the order the zones first appear.
    std::vector<std::string> zones;
    std::map<std::string, std::vector<std::size_t>> byZone;
    for (std::size_t i = 0; i < handedOver.size(); ++i) {
      const auto& zone = handedOver[i].second.recordID.zoneName;
      if (!byZone.count(zone)) zones.push_back(zone);
      byZone[zone].push_back(i);
    }
    for (const auto& zone : zones) {
      const auto& indices = byZone[zone];
      json operations = json::array();
      std::vector<std::size_t> sent;
      for (auto i : indices) {
        std::string untyped;
        auto op = saveOperationJson(handedOver[i].second, policy, *types, &untyped);
        if (!op) {
          CloudError error{CloudErrorCode::InvalidArguments,
                           "CloudKit: the type of the removed field " + untyped + " of record " +
                               handedOver[i].second.recordID.recordName + " is unknown",
                           std::nullopt};
          logFailure("save", error);
          if (block) block(handedOver[i].first, std::move(error));
          continue;
        }
        operations.push_back(std::move(*op));
        sent.push_back(i);
      }
      if (sent.empty()) continue;
      json body = {{"zoneID", {{"zoneName", zone}}}, {"operations", std::move(operations)}};
      auto response = client->post("records/modify", body);
      const json* entries = nullptr;
      if (!response.error) {
        auto list = response.body.find("records");
        if (list != response.body.end() && list->is_array()) entries = &*list;
      }
      for (std::size_t k = 0; k < sent.size(); ++k) {
        const auto& [record, data] = handedOver[sent[k]];
        std::optional<CloudError> error = response.error;
        std::optional<CloudRecordData> saved;
        if (!error) {
          if (!entries || k >= entries->size()) {
            error = malformed("no entry for record " + data.recordID.recordName);
          } else if (isErrorEntry((*entries)[k])) {
            error = CloudKitClient::errorFromServer((*entries)[k]);
          } else {
            saved = recordFromJson((*entries)[k], *keys, zone);
            if (!saved || saved->recordID.recordName != data.recordID.recordName) {
              error = malformed("entry for another record than " + data.recordID.recordName);
            }
          }
        }
        if (error) {
          logFailure("save of " + data.recordID.recordName, *error);
          if (!response.error) client->recordOutcome(error);
          if (block) block(record, std::move(*error));
          continue;
        }
        // The answer's fields win; fields it leaves out keep the values
        // that were handed over.
        CloudRecordData merged = data;
        merged.changedKeys.clear();
        for (auto& [key, value] : saved->fields) merged.fields.insert_or_assign(key, value);
        if (!saved->recordType.empty()) merged.recordType = saved->recordType;
        merged.recordChangeTag = saved->recordChangeTag;
        if (saved->creationDate) merged.creationDate = saved->creationDate;
        if (saved->modificationDate) merged.modificationDate = saved->modificationDate;
        if (block) block(std::make_shared<CloudRecord>(std::move(merged)), std::nullopt);
      }
    }
  });
}

void CloudKitDatabase::deleteRecordWithID(const CloudRecordID& recordID,
                                          DeleteCompletion completion) {
  worker_->enqueue([client = client_, recordID, completion = std::move(completion)] {
    json body = {
        {"zoneID", {{"zoneName", recordID.zoneName}}},
        {"operations", json::array({{{"operationType", "forceDelete"},
                                     {"record", {{"recordName", recordID.recordName}}}}})}};
    auto response = client->post("records/modify", body);
    std::optional<CloudError> error = std::move(response.error);
    if (!error) {
      auto list = response.body.find("records");
      if (list == response.body.end() || !list->is_array() || list->empty()) {
        error = malformed("no entry for the deleted record");
      } else if (isErrorEntry(list->front())) {
        error = CloudKitClient::errorFromServer(list->front());
        client->recordOutcome(error);
      }
    }
    if (error) logFailure("delete of " + recordID.recordName, *error);
    if (completion) completion(recordID, std::move(error));
  });
}

}  // namespace nuv::linux_backend
