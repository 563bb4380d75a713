#pragma once

#include "platform/DetachedProcessLauncher.h"

namespace nuv::linux_backend {

// Detached children through g_spawn_async: an intermediate child is reaped at
// once so the program is re-parented and never becomes our zombie; setsid()
// in the child makes it the leader of a new session; every descriptor but
// standard output and error is closed (standard input is /dev/null).
class SpawnDetachedLauncher : public DetachedProcessLauncher {
 public:
  bool launchDetached(const std::string& path, const std::vector<std::string>& arguments,
                      std::string* error) override;
};

}  // namespace nuv::linux_backend
