#include "platform/Log.h"

#include <glib.h>

#include <mutex>
#include <string>

namespace nuv::log {
namespace {
std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}
Sink& sink() {
  static Sink s;
  return s;
}
}  // namespace

void write(Level level, std::string_view line) {
  {
    std::lock_guard lock(sinkMutex());
    if (sink()) {
      sink()(level, line);
      return;
    }
  }
  GLogLevelFlags flags = G_LOG_LEVEL_MESSAGE;
  switch (level) {
    case Level::Debug:
      flags = G_LOG_LEVEL_DEBUG;
      break;
    case Level::Info:
      flags = G_LOG_LEVEL_MESSAGE;
      break;
    case Level::Warning:
    case Level::Error:
      flags = G_LOG_LEVEL_WARNING;
      break;
  }
  std::string text(line);
  g_log_structured("NUVModule", flags, "MESSAGE", "%s", text.c_str());
}

void setSink(Sink s) {
  std::lock_guard lock(sinkMutex());
  sink() = std::move(s);
}

}  // namespace nuv::log
