#include "app/RelaunchCommand.h"

#include <cstdio>

namespace nuv {

std::string shellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

std::string relaunchCommand(float delay, const std::string& executable, const std::string& unit) {
  char seconds[64];
  std::snprintf(seconds, sizeof seconds, "%f", static_cast<double>(delay));
  std::string command = std::string("sleep ") + seconds + "; ";
  if (!unit.empty()) {
    command += "systemctl --user --no-block restart " + shellQuote(unit) + " || ";
  }
  command += "exec " + shellQuote(executable);
  return command;
}

}  // namespace nuv
