#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/Date.h"

namespace nuv {

// How the record store's battery writes stand, for `nuvctl cloud status`.
struct CloudWriteStatus {
  // Records with a value that has not landed yet (in flight or waiting for a
  // retry).
  std::size_t pendingCount = 0;
  // The last write that landed: when, the record name and the record's
  // "Name" (the device); absent before the first.
  std::optional<Date> lastSuccess;
  std::string lastRecordName;
  std::string lastDeviceName;

  friend bool operator==(const CloudWriteStatus&, const CloudWriteStatus&) = default;
};

}  // namespace nuv
