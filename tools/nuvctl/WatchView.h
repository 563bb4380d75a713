#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "client/StackPayload.h"

namespace nuvctl {

using nuvclient::DeviceEntry;
using nuvclient::StackPayload;

// What `nuvctl watch` and `nuvctl status` show: one JSON line per map (read
// or broadcast), or a table that is redrawn as maps arrive and time passes.
//
// The module drops "timestamp" from an entry that a later probe run found
// unchanged, so the table remembers the last change it saw per device and
// keeps showing its age.
class WatchView {
 public:
  // One line, without the newline: {"received": ISO date, "devices": {key:
  // {pairs..., "timestamp": ISO date}}}. Always valid JSON.
  static std::string jsonLine(const StackPayload& payload, nuv::Date received);

  void update(const StackPayload& payload, nuv::Date received);
  std::string table(nuv::Date now) const;

  // The wall clock, as the module stamps its entries.
  static nuv::Date now();
  // "12s", "3m 05s", "2h 07m", "4d 03h" in English (the texts for people
  // are in the user's language); negative ages count as 0.
  static std::string age(std::int64_t seconds);
  // "[########  ]  87%" for "87"; "-" for a missing or non-numeric level.
  static std::string batteryCell(const std::string* level);

 private:
  StackPayload last_;
  std::map<std::string, nuv::Date> lastChange_;
  std::optional<nuv::Date> lastReceived_;
};

}  // namespace nuvctl
