#include <glib/gi18n.h>

#include <cstdio>
#include <string>

#include "Commands.h"
#include "client/HostClient.h"

namespace nuvctl {

using nuvclient::HostClient;
namespace {

constexpr const char* kRefreshSummary =
    N_("Asks NUVModule for a probe run now, as plugging in an iPhone does (the\n"
       "Refresh() method of vemo.Tallyport.NUVModule1 on the session bus), and\n"
       "returns at once. One run at a time: during a run the request only\n"
       "schedules the next regular one. A device the run finds new or changed\n"
       "shows up in 'nuvctl watch' and 'nuvctl status'.");

constexpr const char* kRefreshDescription =
    N_("Exit status: 0 when the module took the request; 1 when no module is\n"
       "running, the session bus cannot be reached or the module did not answer;\n"
       "2 on a usage error.");

}  // namespace

int runRefresh(Args args) {
  if (auto status = CommandLine("nuvctl refresh", "", _(kRefreshSummary), _(kRefreshDescription))
                        .parse(args)) {
    return *status;
  }
  HostClient client = HostClient::onSessionBus("nuvctl refresh");
  if (!client) return 1;
  std::string error;
  return HostClient::succeeded(client.refresh(&error), "nuvctl refresh",
                               _("the module did not take the request"), error)
             ? 0
             : 1;
}

}  // namespace nuvctl
