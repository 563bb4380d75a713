#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

namespace nuv::plistv {

struct PlistFree {
  void operator()(plist_t p) const {
    if (p) plist_free(p);
  }
};
using Plist = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

// Typed reads of a node that may be missing or of another type: none then.

inline std::optional<std::string> stringValue(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  char* raw = nullptr;
  plist_get_string_val(node, &raw);
  if (!raw) return std::nullopt;
  std::string value(raw);
  std::free(raw);
  return value;
}

inline std::optional<bool> boolValue(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_BOOLEAN) return std::nullopt;
  uint8_t value = 0;
  plist_get_bool_val(node, &value);
  return value != 0;
}

// Plist integers are unsigned here; a value beyond int64 is garbage. Right
// for counts and capacities, which are never negative.
inline std::optional<std::int64_t> integerValue(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
  uint64_t value = 0;
  plist_get_uint_val(node, &value);
  if (value > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

// An integer that may be negative: libplist keeps every integer as 64 bits
// without a sign, a negative one in two's complement (-1274 as
// 18446744073709550342), so the bits are read back as signed.
inline std::optional<std::int64_t> signedValue(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
  uint64_t value = 0;
  plist_get_uint_val(node, &value);
  return static_cast<std::int64_t>(value);
}

// The item `key` of a dictionary; nullptr when `dict` is not one.
inline plist_t item(plist_t dict, const char* key) {
  if (!dict || plist_get_node_type(dict) != PLIST_DICT) return nullptr;
  return plist_dict_get_item(dict, key);
}

}  // namespace nuv::plistv
