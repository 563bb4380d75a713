#pragma once

#include <string>

namespace nuv::linux_backend {

// A user base directory: $<variable> when it is an absolute path, otherwise
// the home directory ($HOME, else the password database, else /tmp) joined
// with `homeRelative`. xdgBaseDirectory("XDG_CONFIG_HOME", ".config").
std::string xdgBaseDirectory(const char* variable, const char* homeRelative);

}  // namespace nuv::linux_backend
