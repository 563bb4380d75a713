#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "DeviceFactsSource.h"
#include "RotationState.h"

namespace nuv {

// The probe's output: `key<TAB>value` lines for one device, read by the module
// line by line. A value must never break that framing, so every value is made
// valid UTF-8 without control characters before it is written.
class ProbeReport {
 public:
  // Invalid UTF-8 sequences become U+FFFD; TAB, LF, CR and the other C0
  // controls and DEL become a space.
  static std::string sanitize(std::string_view text);

  // The lines for one device. An untrusted device gets "Trusted 0" and no
  // battery lines, whatever the facts say.
  static std::string format(const DeviceCandidate& device, const DeviceFacts& facts);

  // Exit status when usbmuxd cannot be reached (EX_UNAVAILABLE).
  static constexpr int kUsbmuxdUnavailable = 69;

  // One probe run: lists the devices, reports the first one in rotation
  // order (ProbeRotation) that can be read, records it in `state` (none:
  // no memory, the order of a first run every time) and returns the exit
  // status. No device: nothing written, 0. usbmuxd not running: one line on
  // `err`, kUsbmuxdUnavailable. Devices that cannot be read are explained on
  // `err`; when none can be read the status is 1.
  static int run(DeviceFactsSource& source, RotationState* state, std::ostream& out,
                 std::ostream& err);
};

}  // namespace nuv
