#pragma once

#include <string>
#include <vector>

namespace nuv {

// Starts programs that outlive this process: the child is not waited for,
// runs in a session of its own, reads standard input from /dev/null, shares
// standard output and error, and inherits no other descriptor (a sleep
// inhibitor or a bus socket must not stay open in it).
class DetachedProcessLauncher {
 public:
  virtual ~DetachedProcessLauncher() = default;
  // Runs `path` with `arguments` (argv[1] onwards). False when it could not
  // be started; `error` says why.
  virtual bool launchDetached(const std::string& path, const std::vector<std::string>& arguments,
                              std::string* error) = 0;
};

}  // namespace nuv
