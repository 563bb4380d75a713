#pragma once

#include <string>
#include <vector>

#include "platform/DetachedProcessLauncher.h"

namespace nuv::fake {

// Records every launch; `failWith` makes launches fail with that reason.
class FakeDetachedProcessLauncher : public DetachedProcessLauncher {
 public:
  struct Launch {
    std::string path;
    std::vector<std::string> arguments;
  };
  bool launchDetached(const std::string& path, const std::vector<std::string>& arguments,
                      std::string* error) override {
    if (!failWith.empty()) {
      if (error) *error = failWith;
      return false;
    }
    launches.push_back(Launch{path, arguments});
    return true;
  }
  std::vector<Launch> launches;
  std::string failWith;
};

}  // namespace nuv::fake
