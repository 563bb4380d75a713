#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/CommandLine.h"
#include "client/HostClient.h"
#include "platform/Date.h"

namespace nuvctl {

// The devices that `history` and `health` show, and what both read and print
// alike: the options, --since and the JSON array.
class DeviceSelection {
 public:
  using TimedRows = std::vector<std::pair<nuv::Date, nlohmann::json>>;

  struct Device {
    std::string device;  // Bonjour value
    std::string name;    // "" when none is known
  };

  // "90m", "24h", "7d" back from `now`, or an ISO 8601 date; none for
  // anything else.
  static std::optional<nuv::Date> since(const std::string& text, nuv::Date now);
  // Declares --json (with `jsonHelp`), --since and [DEVICE] on `line`.
  static void declare(nuvcli::CommandLine& line, const char* jsonHelp, bool* json,
                      std::optional<std::string>* since);
  // One JSON array of the rows' objects, oldest first (rows of one time in
  // the order given), on one line; a bad byte costs a character.
  static std::string jsonArray(TimedRows rows);
  // The usage error of a --since that `since` does not read.
  static std::string badSince(const std::string& text);
  // With DEVICE (`args[0]`): the one device of that name or Bonjour value
  // among those the module reports now and those it keeps any history of
  // (not only since `since`), or one by that Bonjour value when none is
  // known. Without it: every device reported now or with history since
  // `since`, ordered by Bonjour value. A device has the name it has now,
  // else the one it last had. False, after saying why on standard error as
  // `who`, when the module cannot be asked.
  static bool select(const nuvclient::HostClient& client, const char* who, const nuvcli::Args& args,
                     nuv::Date since, std::vector<Device>* devices);
  // "My Phone (<UDID>)", or the UDID alone; safe for a terminal.
  static std::string heading(const Device& device);
};

}  // namespace nuvctl
