#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/Date.h"
#include "platform/Workspace.h"

namespace nuv::linux_backend {

// Running applications from /proc: this user's processes whose executable
// lies in a bundle with an Info.plist. Ordered by start time, then pid.
class ProcWorkspace : public Workspace {
 public:
  std::vector<std::shared_ptr<RunningApplication>> runningApplications() override;
};

// The fields of a /proc/<pid>/stat line from field 3 (the state) on, split
// after the last ')' so that a command name with spaces or parentheses cannot
// shift them. Empty for a line without one.
std::vector<std::string> statFieldsAfterName(const std::string& statLine);

// Field 22 of /proc/<pid>/stat: the start time in clock ticks since boot.
std::optional<unsigned long long> parseStartTime(const std::string& statLine);

// True while a process of the group is alive; zombies do not count (an
// orphan's may wait a while for init to reap it).
bool processGroupHasLiveMember(int pgid);

// When the process started, as a wall-clock date: never later than the real
// start (the start time is kept in whole clock ticks since boot).
std::optional<Date> processStartDate(int pid);

}  // namespace nuv::linux_backend
