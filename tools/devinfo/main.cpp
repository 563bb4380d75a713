// devInfo.NUVModule: prints the facts of one attached iPhone, iPad or iPod as
// `key<TAB>value` lines for NUVModule, which runs it with "-f" every few
// seconds.

#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <sstream>

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
    "Device choice: a device on USB before one over the network, then the\n"
    "lowest UDID. Keys: Bonjour (UDID), name, Battery (percent), Charging,\n"
    "Host Attached (1 on USB, 0 over the network), ProductType,\n"
    "ExternalConnected, FullyCharged, Trusted. Flags are 1 or 0.\n"
    "\n"
    "The tool never asks a device to pair. A device that does not trust this\n"
    "computer (or is locked since it was switched on) is reported with\n"
    "Trusted 0 and without battery facts; trust it on the device and run\n"
    "usbmuxd to get them.\n"
    "\n"
    "With no device, or when usbmuxd is not running, nothing is printed and\n"
    "the exit status is 0. Errors go to standard error; the exit status is 1\n"
    "when no attached device could be read or the device did not answer\n"
    "within 10 s, 2 on a usage error.\n"
    "\n"
    "Environment: USBMUXD_SOCKET_ADDRESS (UNIX:/path or host:port) selects\n"
    "another usbmuxd socket.\n";

constexpr unsigned kTimeLimitSeconds = 10;

void giveUp(int) {
  static const char kMessage[] =
      "devInfo.NUVModule: the device did not answer within 10 s; giving up\n";
  // Only async-signal-safe calls here.
  ssize_t ignored = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  (void)ignored;
  _exit(1);
}

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
  // The module waits for this process before it polls again, and a device
  // that stops answering keeps libimobiledevice waiting 30 s per request.
  // Give up as a whole instead, with nothing on standard output.
  struct sigaction onAlarm = {};
  onAlarm.sa_handler = giveUp;
  sigemptyset(&onAlarm.sa_mask);
  sigaction(SIGALRM, &onAlarm, nullptr);
  alarm(kTimeLimitSeconds);

  nuv::linux_backend::LockdownFactsSource source;
  std::ostringstream report;
  const int status = nuv::ProbeReport::run(source, report, std::cerr);
  alarm(0);
  std::cout << report.str() << std::flush;
  return status;
}
