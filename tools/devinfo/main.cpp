// devInfo.NUVModule: prints the facts of one attached iPhone, iPad or iPod as
// `key<TAB>value` lines for NUVModule, which runs it with "-f" every few
// seconds.

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "LockdownFactsSource.h"
#include "ProbeReport.h"

namespace {

constexpr const char* kUsage =
    "Usage: devInfo.NUVModule -f\n"
    "\n"
    "Probe tool of NUVModule. Prints the facts of one attached iPhone, iPad or\n"
    "iPod touch as lines of a key, a TAB and a value, for the module to read.\n"
    "\n"
    "Options:\n"
    "  -f          probe now and print the report\n"
    "  -h, --help  show this help\n"
    "\n"
    "Runs take turns over the attached devices: a device not reported yet\n"
    "first, then the one reported longest ago (USB before network, then the\n"
    "lowest UDID, among devices equally due). The turns are kept in\n"
    "$XDG_RUNTIME_DIR/vemo.Tallyport.NUVModule/rotation. Keys: Bonjour (UDID),\n"
    "name, Battery (percent), Charging, Host Attached (1 on USB, 0 over the\n"
    "network), ProductType, ExternalConnected, FullyCharged,\n"
    "BatteryCycleCount, BatteryMaxCapacity (full charge in percent of the\n"
    "design capacity), BatteryTemperature (whole degrees C),\n"
    "BatteryDesignCapacity and BatteryFullChargeCapacity (mAh), ChargerWatts\n"
    "(what the charger offers), ChargerName, ChargerWireless, ChargingWatts\n"
    "(what goes into the battery), Trusted. Flags are 1 or 0; watts are whole.\n"
    "\n"
    "The battery keys after FullyCharged come from a trusted device's\n"
    "diagnostics service, each only when the device gives a value a battery\n"
    "can have; the charger keys only while external power is connected,\n"
    "ChargingWatts only while the battery takes current. The service is asked\n"
    "for the health (cycle count, maximum capacity) at most once a day, for\n"
    "the others at most once a minute on external power and once every 15\n"
    "minutes on battery; in between the last values are printed from\n"
    "battery-health and battery-reading in the same folder. A device that\n"
    "does not offer the service has none of these keys.\n"
    "\n"
    "The tool never asks a device to pair. A device that does not trust this\n"
    "computer (or is locked since it was switched on) is reported with\n"
    "Trusted 0 and without battery facts; trust it on the device and run\n"
    "usbmuxd to get them.\n"
    "\n"
    "Exit status: 0 after a report, and with no device (nothing printed); 69\n"
    "when usbmuxd is not running (nothing printed, one line on standard\n"
    "error); 1 when no attached device could be read or the device did not\n"
    "answer within 10 s; 2 on a usage error.\n"
    "\n"
    "Environment: USBMUXD_SOCKET_ADDRESS (UNIX:/path or host:port) selects\n"
    "another usbmuxd socket.\n";

constexpr std::chrono::seconds kTimeLimit{10};

// Ends the process when the probe has not finished within kTimeLimit. The
// module waits for this process before it polls again, and a device that
// stops answering keeps libimobiledevice waiting 30 s per request: give up as
// a whole instead, with nothing on standard output. A thread rather than
// SIGALRM, so that the limit holds whatever the libraries do with signals.
class Watchdog {
 public:
  Watchdog() : thread_([this] { watch(); }) {}
  ~Watchdog() { disarm(); }

  // After this returns the process is no longer ended by the watchdog.
  void disarm() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void watch() {
    std::unique_lock lock(mutex_);
    if (wake_.wait_for(lock, kTimeLimit, [this] { return done_; })) return;
    // Holding the lock: disarm() cannot return and let output through.
    std::fputs("devInfo.NUVModule: the device did not answer within 10 s; giving up\n", stderr);
    std::fflush(stderr);
    std::_Exit(1);
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (!std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help"))) {
    std::cout << kUsage;
    return 0;
  }
  if (argc != 2 || std::strcmp(argv[1], "-f") != 0) {
    std::cerr << kUsage;
    return 2;
  }
  // A device (or usbmuxd) that closes its end before the probe's last write
  // ends that answer with an error from the write, not the process.
  std::signal(SIGPIPE, SIG_IGN);
  Watchdog watchdog;
  nuv::linux_backend::LockdownFactsSource source;
  const std::string folder = nuv::RotationState::defaultDirectory();
  nuv::RotationState rotation(folder);
  nuv::BatteryHealthState health(folder);
  nuv::BatteryReadingState reading(folder);
  std::ostringstream report;
  const int status = nuv::ProbeReport::run(
      source, {&rotation, &health, std::time(nullptr), &reading}, report, std::cerr);
  watchdog.disarm();
  std::cout << report.str() << std::flush;
  return status;
}
