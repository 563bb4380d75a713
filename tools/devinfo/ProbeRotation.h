#pragma once

#include <string>
#include <vector>

#include "DeviceFactsSource.h"

namespace nuv {

// Which device a probe run reports. The module takes one device per run, so
// runs take turns: a device never reported goes first (a freshly attached
// device shows up on the run its USB match starts), then the one reported
// longest ago. Among devices equally due, USB goes before network, then the
// lowest UDID (bytewise).
//
// `reported` is the rotation's memory: UDIDs in the order of their last
// report, oldest first (RotationState keeps it between runs).
class ProbeRotation {
 public:
  // The order in which to try the candidates. Candidates with an empty UDID
  // are dropped.
  static std::vector<DeviceCandidate> order(std::vector<DeviceCandidate> candidates,
                                            const std::vector<std::string>& reported);

  // `reported` after a run that reported `udid`: it becomes the most recent,
  // and devices no longer listed drop out, so a device that comes back counts
  // as new.
  static std::vector<std::string> record(const std::vector<std::string>& reported,
                                         const std::string& udid,
                                         const std::vector<DeviceCandidate>& listed);
};

}  // namespace nuv
