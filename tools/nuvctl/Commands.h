#pragma once

#include "CommandLine.h"

// nuvctl's commands. Each takes the words after its own name and returns
// the process exit status: 0 success, 1 failure, 2 bad usage.
namespace nuvctl {

int runStatus(const Args& args);   // the module's current device map, once
int runWatch(const Args& args);    // the current map, then every "iOSStack" broadcast
int runRefresh(const Args& args);  // asks the module for a probe run now
int runKill(const Args& args);     // posts the kill notification, waits for the module to stop
int runRecords(const Args& args);  // the companion app's side of the cloud records
int runCloud(const Args& args);    // shared-cloud sign-in and status

}  // namespace nuvctl
