#pragma once

#include <string>

namespace nuv::linux_backend {

// Whether this process runs as the main program of a systemd user unit.
//
// The shipped unit sets NUV_SYSTEMD_UNIT to its own name (%n). The variable
// alone is not trusted, since it is inherited by anything the unit starts:
// the process must also sit in that unit's control group.

inline constexpr const char* kSystemdUnitVariable = "NUV_SYSTEMD_UNIT";

// The unit named by `unitVariable` when `procSelfCgroup` (the text of
// /proc/self/cgroup) places the process in it; "" otherwise, and also for a
// name that is not a valid unit name.
std::string supervisingUnitFrom(const char* unitVariable, const std::string& procSelfCgroup);

// The same for this process (environment and /proc/self/cgroup).
std::string supervisingUnit();

}  // namespace nuv::linux_backend
