#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "BatteryHealthState.h"
#include "BatteryReadingState.h"
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
  // battery lines (health and reading included), whatever the facts say. The
  // charger and charging keys are left out of a report that says
  // "ExternalConnected 0", so that a reading kept from before the device was
  // unplugged never contradicts it.
  static std::string format(const DeviceCandidate& device, const DeviceFacts& facts);

  // Exit status when usbmuxd cannot be reached (EX_UNAVAILABLE).
  static constexpr int kUsbmuxdUnavailable = 69;

  // What a run remembers from the runs before it. A missing part is not
  // kept: without `rotation` every run takes the order of a first run;
  // without `health` (`reading`) the battery health (reading) is never read.
  struct Memory {
    RotationState* rotation = nullptr;
    BatteryHealthState* health = nullptr;
    std::int64_t now = 0;  // wall clock, seconds since the Unix epoch
    BatteryReadingState* reading = nullptr;
  };

  // One probe run: lists the devices, reports the first one in rotation
  // order (ProbeRotation) that can be read, records it in `memory` and
  // returns the exit status. No device: nothing written, 0. usbmuxd not
  // running: one line on `err`, kUsbmuxdUnavailable. Devices that cannot be
  // read are explained on `err`; when none can be read the status is 1.
  //
  // A trusted device's diagnostics relay is asked once per run at most, when
  // its battery health (BatteryHealthState::due) or its reading
  // (BatteryReadingState::due, on external power as the battery domain says)
  // is due, and only once each due ask is on record, so that a device that
  // hangs on it (and the run given up) is not asked again at once. What was
  // not due is printed from the kept records. An answer replaces the kept
  // values of what was asked; no answer keeps the health (it changes over
  // weeks) and drops the reading (an old one would pass for the present).
  static int run(DeviceFactsSource& source, const Memory& memory, std::ostream& out,
                 std::ostream& err);
};

}  // namespace nuv
