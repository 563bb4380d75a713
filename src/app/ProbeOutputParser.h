#pragma once

#include <map>
#include <string>
#include <string_view>

#include "platform/Utf8.h"

namespace nuv {

// The key/value pairs of one probe run.
using ProbeOutput = std::map<std::string, std::string>;

// Parses the probe tool's standard output: UTF-8 text, lines separated by LF,
// a line with exactly one TAB is one pair (key before it, value after it).
// Lines with no TAB or several TABs are ignored; nothing is trimmed (a CR
// before the LF stays in the value); a later pair replaces an earlier one with
// the same key. Output that is not valid UTF-8 gives no pairs at all.
ProbeOutput parseProbeOutput(std::string_view bytes);

}  // namespace nuv
