#pragma once

namespace nuv {

// Names posted on the workspace's notification centre (system sleep and
// wake). Observers run on the main loop thread. The will-sleep observers have
// all returned before the system is allowed to go to sleep, so what they save
// really lands before suspend.
inline constexpr const char* kWorkspaceWillSleepNotification = "WorkspaceWillSleepNotification";
inline constexpr const char* kWorkspaceDidWakeNotification = "WorkspaceDidWakeNotification";

}  // namespace nuv
