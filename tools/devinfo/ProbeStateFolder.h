#pragma once

#include <functional>
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

  // Replaces the file `name` in `directory` with the text `make` returns,
  // called while the lock is held (so that it may read the file first), the
  // file written whole (DurableFile, 0600). False when nothing was written:
  // no folder, a folder that is not this user's, the lock not free within
  // half a second, or a failed write (the previous file is then untouched).
  static bool rewrite(const std::string& directory, const char* name,
                      const std::function<std::string()>& make);

  // The file `name` in `directory`, when it exists and is at most 64 KiB.
  static std::optional<std::string> read(const std::string& directory, const char* name);

  // A UDID as printable ASCII without spaces or '%' (others as %XX), and
  // back; unescape fails on anything escape() never writes, or on "".
  static std::string escape(std::string_view udid);
  static bool unescape(std::string_view text, std::string* udid);
};

}  // namespace nuv
