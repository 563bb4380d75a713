#pragma once

// Conversion between property-list values and GVariant, shared by the bus
// notification centre, the user defaults file and nuvctl.
//
//   string -> s, bool -> b, date -> x (microseconds since the Unix epoch, UTC),
//   dictionary -> a{sv}, array -> av
//
// Decoding is strict: any other type is an error, never a guess.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/HistoryStore.h"
#include "platform/Value.h"

typedef struct _GVariant GVariant;

namespace nuv::linux_backend {

// Returns a new floating reference.
GVariant* toVariant(const Value& value);
GVariant* toVariant(const Dictionary& dict);
// a{sa{sv}} from a dictionary of dictionaries (the device status map as the
// host service carries it): each inner a{sv} is exactly toVariant() of that
// dictionary. Values that are not dictionaries are left out.
GVariant* toVariantOfDictionaries(const Dictionary& dict);

// Each key's dictionary and its a{sv} (a strong reference) from the last map
// that toVariantOfDictionaries encoded with it. One encoder's state; not for
// use by two threads at once.
using EncodedEntries = std::map<std::string, std::pair<Dictionary, std::shared_ptr<GVariant>>>;

// The same value as toVariantOfDictionaries(dict), building only the entries
// that differ from those in `previous` and reusing the others; `previous` is
// left holding the entries of `dict`. A map in which one device of a hundred
// changed costs one entry instead of a hundred.
GVariant* toVariantOfDictionaries(const Dictionary& dict, EncodedEntries& previous);

// `error` receives a readable reason when decoding fails.
std::optional<Value> fromVariant(GVariant* variant, std::string* error = nullptr);
std::optional<Dictionary> dictionaryFromVariant(GVariant* variant, std::string* error = nullptr);
// Reads a{sa{sv}} into a dictionary whose values are dictionaries.
std::optional<Dictionary> dictionaryOfDictionariesFromVariant(GVariant* variant,
                                                              std::string* error = nullptr);

// The reply of GetHistory, (a(xybb)a(xx)): each sample as (time, level,
// charging, external), each gap as (start, end), times as dates above.
// Returns a new floating reference.
GVariant* historyToVariant(const DeviceHistory& history);
// Reads a reply of that type; none for any other type.
std::optional<DeviceHistory> historyFromVariant(GVariant* variant);
// The reply of GetHistoryDevices, (a(ss)): (Bonjour value, name) for each.
// Returns a new floating reference.
GVariant* historyDevicesToVariant(const std::vector<HistoryDevice>& devices);
// Reads a reply of that type; none for any other type.
std::optional<std::vector<HistoryDevice>> historyDevicesFromVariant(GVariant* variant);
// The reply of GetHealthHistory, (a(xiiii)): each row as (time, cycle count,
// full-charge capacity in mAh, design capacity in mAh, maximum capacity in
// percent), -1 for a value that is not known. Returns a new floating
// reference.
GVariant* healthHistoryToVariant(const std::vector<HealthReading>& rows);
// Reads a reply of that type (a negative value is unknown); none for any
// other type.
std::optional<std::vector<HealthReading>> healthHistoryFromVariant(GVariant* variant);

}  // namespace nuv::linux_backend
