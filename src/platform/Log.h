#pragma once

#include <functional>
#include <string_view>

namespace nuv::log {

enum class Level { Debug, Info, Warning, Error };

// Single-line diagnostics to the system log (journald under systemd, stderr
// otherwise). Thread-safe.
void write(Level level, std::string_view line);
inline void debug(std::string_view line) { write(Level::Debug, line); }
inline void info(std::string_view line) { write(Level::Info, line); }
inline void warning(std::string_view line) { write(Level::Warning, line); }
inline void error(std::string_view line) { write(Level::Error, line); }

// Tests capture diagnostics by installing a sink; an empty sink restores the
// system log. Not thread-safe with respect to write().
using Sink = std::function<void(Level, std::string_view)>;
void setSink(Sink sink);

}  // namespace nuv::log
