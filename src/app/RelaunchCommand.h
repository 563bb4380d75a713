#pragma once

#include <string>

namespace nuv {

// `text` as one single-quoted word for /bin/sh: every character reaches the
// command unchanged (a quote becomes '\'').
std::string shellQuote(const std::string& text);

// The shell command that starts the module again after `delay` seconds:
//   sleep 3.000000; exec '<executable>'
// Under a systemd user unit (`unit` not empty) the unit restarts the module so
// that it stays supervised, and the direct start is the fallback:
//   sleep 3.000000; systemctl --user --no-block restart '<unit>' || exec '<executable>'
std::string relaunchCommand(float delay, const std::string& executable, const std::string& unit);

}  // namespace nuv
