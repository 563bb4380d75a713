#include <cstdio>
#include <cstring>
#include <string>

#include "Commands.h"

namespace {

constexpr const char* kUsage =
    "Usage: nuvctl COMMAND [OPTIONS]\n"
    "\n"
    "Companion tool of NUVModule, the background module that reports the\n"
    "iPhones, iPads and iPods attached to this computer.\n"
    "\n"
    "Commands:\n"
    "  status    show the devices the module reports now\n"
    "  watch     show the devices, then every change the module broadcasts\n"
    "  refresh   ask the module for a probe run now\n"
    "  kill      ask the running module to stop, and wait until it has\n"
    "  records   list, add and remove the battery records in the local cloud database\n"
    "  cloud     sign in to, sign out of, and show the state of the shared cloud\n"
    "\n"
    "Run 'nuvctl COMMAND --help' for the options of a command.\n"
    "\n"
    "status, watch, refresh and kill talk to the module on the user's session\n"
    "bus (the one DBUS_SESSION_BUS_ADDRESS names): the name\n"
    "vemo.Tallyport.NUVModule with the interface vemo.Tallyport.NUVModule1, and\n"
    "the signal vemo.DistributedNotifications.Notification. Both interfaces are\n"
    "described in share/dbus-1/interfaces/ under the\n"
    "installation prefix.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") ||
      !std::strcmp(argv[1], "help")) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  const std::string command = argv[1];
  nuvctl::Args args(argv + 2, argv + argc);
  if (command == "status") return nuvctl::runStatus(args);
  if (command == "watch") return nuvctl::runWatch(args);
  if (command == "refresh") return nuvctl::runRefresh(args);
  if (command == "kill") return nuvctl::runKill(args);
  if (command == "records") return nuvctl::runRecords(args);
  if (command == "cloud") return nuvctl::runCloud(args);
  std::fprintf(stderr, "nuvctl: unknown command '%s'\n\n%s", command.c_str(), kUsage);
  return 2;
}
