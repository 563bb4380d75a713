#include <glib/gi18n.h>

#include <cstdio>
#include <string>

#include "Commands.h"
#include "WatchView.h"
#include "client/HostClient.h"

namespace nuvctl {

using nuvclient::HostClient;
using nuvclient::StackPayload;
namespace {

constexpr const char* kStatusSummary =
    N_("Shows the iPhones, iPads and iPods that NUVModule reports now, once: the\n"
       "table of 'nuvctl watch' (name, battery bar and percentage, charging,\n"
       "attached on USB, age of the last change the entry shows, and below a\n"
       "device its battery health: charge cycles and maximum capacity, when the\n"
       "probe has them), read from the module's Devices property\n"
       "(vemo.Tallyport.NUVModule1 on the session bus).");

constexpr const char* kStatusDescription =
    N_("Exit status: 0 when the map was shown; 1 when no module is running, the\n"
       "session bus cannot be reached or the module did not answer; 2 on a usage\n"
       "error.");

}  // namespace

int runStatus(Args args) {
  bool json = false;
  CommandLine line("nuvctl status", "", _(kStatusSummary), _(kStatusDescription));
  line.flag("json", _("One JSON object instead, the shape of a 'nuvctl watch --json' line"), &json);
  if (auto status = line.parse(args)) return *status;
  HostClient client = HostClient::onSessionBus("nuvctl status");
  if (!client) return 1;
  StackPayload payload;
  std::string error;
  if (!HostClient::succeeded(client.readDevices(&payload, &error), "nuvctl status",
                             _("cannot read the device map"), error)) {
    return 1;
  }
  const nuv::Date now = WatchView::now();
  if (json) {
    std::fputs((WatchView::jsonLine(payload, now) + "\n").c_str(), stdout);
  } else {
    WatchView view;
    view.update(payload, now);
    std::fputs(view.table(now).c_str(), stdout);
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace nuvctl
