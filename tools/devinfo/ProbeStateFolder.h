#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/runtime/UniqueFd.h"

namespace nuv {

// The private folder of the probe's small state files (RotationState,
// BatteryHealthState) and what they share: one lock for every
// read-modify-write, and UDIDs written as one plain word.
class ProbeStateFolder {
 public:
  // The folder, created if missing (0700, with its parents), opened without
  // following a link and only when it belongs to this user (group and others
  // lose any access), and locked exclusively: the lock is held until the
  // descriptor is closed. Invalid when any of that fails or the lock is not
  // free within half a second.
  static linux_backend::UniqueFd lock(const std::string& directory);

  // The file `name` in `directory`, when it exists and is at most 64 KiB.
  static std::optional<std::string> read(const std::string& directory, const char* name);

  // A UDID as printable ASCII without spaces or '%' (others as %XX), and
  // back; unescape fails on anything escape() never writes, or on "".
  static std::string escape(std::string_view udid);
  static bool unescape(std::string_view text, std::string* udid);
};

}  // namespace nuv
