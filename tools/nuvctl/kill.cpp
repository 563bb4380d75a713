#include <gio/gio.h>

#include <cstdio>
#include <string>

#include "BusContract.h"
#include "Commands.h"
#include "platform/linux/runtime/GlibHandles.h"

namespace nuvctl {
namespace {

constexpr const char* kKillUsage =
    "Usage: nuvctl kill\n"
    "\n"
    "Asks NUVModule to stop, as its host application does: posts the\n"
    "notification \"vemo.Tallyport.kill\" on the session bus, that is the\n"
    "signal vemo.DistributedNotifications.Notification on the object\n"
    "/vemo/DistributedNotifications with the body\n"
    "('vemo.Tallyport.kill', '', @a{sv} {}).\n"
    "\n"
    "Every running module of this user session stops at once; nothing is\n"
    "saved on that path. The notification is fire-and-forget: success means\n"
    "it was handed to the bus, not that a module was running. When the module\n"
    "runs as the systemd user unit nuvmodule.service, prefer\n"
    "'systemctl --user stop nuvmodule'; a module stopped with this command is\n"
    "not restarted by the unit.\n"
    "\n"
    "Options:\n"
    "  -h, --help   show this help\n"
    "\n"
    "Exit status: 0 when the notification was sent, 1 when the session bus\n"
    "cannot be reached, 2 on a usage error.\n";

}  // namespace

int runKill(const Args& args) {
  for (const auto& arg : args) {
    if (arg == "-h" || arg == "--help") {
      std::fputs(kKillUsage, stdout);
      return 0;
    }
    std::fprintf(stderr, "nuvctl kill: unexpected argument '%s'\n\n%s", arg.c_str(), kKillUsage);
    return 2;
  }

  GError* rawError = nullptr;
  nuv::glib::Object<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
  nuv::glib::Error error(rawError);
  if (!bus) {
    std::fprintf(stderr, "nuvctl kill: cannot connect to the session bus: %s\n",
                 error ? error->message : "unknown error");
    return 1;
  }
  GVariantBuilder noUserInfo;
  g_variant_builder_init(&noUserInfo, G_VARIANT_TYPE("a{sv}"));
  GVariant* body = g_variant_new("(ssa{sv})", kKillNotification, "", &noUserInfo);
  if (!g_dbus_connection_emit_signal(bus.get(), nullptr, kBusObjectPath, kBusInterface, kBusMember,
                                     body, &rawError) ||
      !g_dbus_connection_flush_sync(bus.get(), nullptr, &rawError)) {
    error.reset(rawError);
    std::fprintf(stderr, "nuvctl kill: could not send %s: %s\n", kKillNotification,
                 error ? error->message : "unknown error");
    return 1;
  }
  return 0;
}

}  // namespace nuvctl
