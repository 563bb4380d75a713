#pragma once

#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"

namespace nuv {

// Process-wide services that the shared instances (sharedFetcher,
// sharedInstance, sharedWatcher, singleton) are built on. The composition root
// (main.cpp, or a test) installs them before the first shared instance is
// created; they must outlive every shared instance.
struct ProcessServices {
  RunLoop* mainLoop = nullptr;                      // the main queue and main run loop
  NotificationCenter* distributedCenter = nullptr;  // the session-bus centre
  NotificationCenter* localCenter = nullptr;        // the in-process centre
};

ProcessServices& processServices();

}  // namespace nuv
