#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "DeviceFactsSource.h"

namespace nuv {

// The probe's output: `key<TAB>value` lines for one device, read by the module
// line by line. A value must never break that framing, so every value is made
// valid UTF-8 without control characters before it is written.
class ProbeReport {
 public:
  // The order in which devices are tried: USB before network, then by UDID
  // (bytewise ascending). Candidates with an empty UDID are dropped.
  static std::vector<DeviceCandidate> probeOrder(std::vector<DeviceCandidate> candidates);

  // Invalid UTF-8 sequences become U+FFFD; TAB, LF, CR and the other C0
  // controls and DEL become a space.
  static std::string sanitize(std::string_view text);

  // The lines for one device. An untrusted device gets "Trusted 0" and no
  // battery lines, whatever the facts say.
  static std::string format(const DeviceCandidate& device, const DeviceFacts& facts);

  // One probe run: lists the devices, reports the first one in probe order
  // that can be read, and returns the exit status. No device: nothing
  // written, 0. Devices that cannot be read are explained on `err`; when none
  // can be read the status is 1.
  static int run(DeviceFactsSource& source, std::ostream& out, std::ostream& err);
};

}  // namespace nuv
