#pragma once

// Conversion between property-list values and GVariant, shared by the bus
// notification centre, the user defaults file and nuvctl.
//
//   string -> s, bool -> b, date -> x (microseconds since the Unix epoch, UTC),
//   dictionary -> a{sv}, array -> av
//
// Decoding is strict: any other type is an error, never a guess.

#include <optional>
#include <string>

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

// `error` receives a readable reason when decoding fails.
std::optional<Value> fromVariant(GVariant* variant, std::string* error = nullptr);
std::optional<Dictionary> dictionaryFromVariant(GVariant* variant, std::string* error = nullptr);
// Reads a{sa{sv}} into a dictionary whose values are dictionaries.
std::optional<Dictionary> dictionaryOfDictionariesFromVariant(GVariant* variant,
                                                              std::string* error = nullptr);

}  // namespace nuv::linux_backend
