#include <glib.h>
#include <glib/gi18n.h>

#include <cstdio>

#include "Commands.h"
#include "cli/CommandLine.h"
#include "platform/linux/runtime/TextDomain.h"

namespace {

constexpr const char* kSummary =
    N_("Companion tool of NUVModule, the background module that reports the\n"
       "iPhones, iPads and iPods attached to this computer.");

constexpr const char* kDescription =
    // TRANSLATORS: the commands, bus names, variable and folder stay as they are.
    N_("Run 'nuvctl COMMAND --help' or 'nuvctl help COMMAND' for the options of a\n"
       "command.\n"
       "\n"
       "status, watch, history, health, refresh and kill talk to the module on the\n"
       "user's session bus (the one DBUS_SESSION_BUS_ADDRESS names): the name\n"
       "vemo.Tallyport.NUVModule with the interface vemo.Tallyport.NUVModule1, and\n"
       "the signal vemo.DistributedNotifications.Notification. Both interfaces are\n"
       "described in share/dbus-1/interfaces/ under the installation prefix.\n"
       "\n"
       "Exit status: 0 on success, 1 on failure, 2 on a usage error.");

}  // namespace

int main(int argc, char** argv) {
  nuv::linux_backend::TextDomain::bind();
  g_set_prgname("nuvctl");
  // TRANSLATORS: the usage line after "nuvctl [OPTION…]".
  nuvctl::CommandLine line("nuvctl", _("COMMAND [ARG…]"), _(kSummary), _(kDescription));
  line.action("version", _("Print the version and exit"),
              [] {
                std::printf("nuvctl %s\n", NUV_VERSION);
                return std::fflush(stdout) == 0 ? 0 : 1;
              })
      .subcommand("status", _("show the devices the module reports now"), nuvctl::runStatus)
      .subcommand("watch", _("show the devices, then every change the module broadcasts"),
                  nuvctl::runWatch)
      .subcommand("history", _("show the battery history of the devices (default: last 24 hours)"),
                  nuvctl::runHistory)
      .subcommand("health", _("show the battery health of the devices and when it reaches 80%"),
                  nuvctl::runHealth)
      .subcommand("refresh", _("ask the module for a probe run now"), nuvctl::runRefresh)
      .subcommand("kill", _("ask the running module to stop, and wait until it has"),
                  nuvctl::runKill)
      .subcommand("records",
                  _("list, add and remove the battery records in the local cloud database"),
                  nuvctl::runRecords)
      .subcommand("cloud", _("sign in to, sign out of, and show the state of the shared cloud"),
                  nuvctl::runCloud);
  return line.run(nuvctl::Args(argv + 1, argv + argc));
}
