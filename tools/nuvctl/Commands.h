#pragma once

#include "cli/CommandLine.h"

// nuvctl's commands. Each takes the words after its own name and returns
// the process exit status: 0 success, 1 failure, 2 bad usage.
namespace nuvctl {

using nuvcli::Args;
using nuvcli::CommandLine;

int runStatus(Args args);   // the module's current device map, once
int runWatch(Args args);    // the current map, then every "iOSStack" broadcast
int runRefresh(Args args);  // asks the module for a probe run now
int runKill(Args args);     // posts the kill notification, waits for the module to stop
int runRecords(Args args);  // the companion app's side of the cloud records
int runCloud(Args args);    // shared-cloud sign-in and status
int runHistory(Args args);  // the battery history the module keeps
int runHealth(Args args);   // the battery health readings and their trend

}  // namespace nuvctl
