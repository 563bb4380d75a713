#include "platform/linux/process/XdgDirs.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace nuv::linux_backend {

std::string xdgBaseDirectory(const char* variable, const char* homeRelative) {
  const char* xdg = std::getenv(variable);
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (!home || !*home) {
    const passwd* pw = getpwuid(getuid());
    home = pw ? pw->pw_dir : "/tmp";
  }
  return std::string(home) + "/" + homeRelative;
}

}  // namespace nuv::linux_backend
