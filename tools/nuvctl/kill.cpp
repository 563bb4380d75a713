#include <gio/gio.h>
#include <glib/gi18n.h>

#include <cstdio>
#include <string>

#include "Commands.h"
#include "client/HostClient.h"
#include "platform/BusNames.h"

namespace nuvctl {

using nuvclient::HostClient;
namespace {

constexpr const char* kKillSummary =
    // TRANSLATORS: the notification, bus names, object and body stay as they are.
    N_("Asks NUVModule to stop, as its host application does: posts the\n"
       "notification \"vemo.Tallyport.kill\" on the session bus, that is the\n"
       "signal vemo.DistributedNotifications.Notification on the object\n"
       "/vemo/DistributedNotifications with the body\n"
       "('vemo.Tallyport.kill', '', @a{sv} {}), and waits until the module has\n"
       "released its bus name vemo.Tallyport.NUVModule (at most 5 s).\n"
       "\n"
       "Every running module of this user session stops at once; nothing is\n"
       "saved on that path. When the module runs as the systemd user unit\n"
       "nuvmodule.service, prefer 'systemctl --user stop nuvmodule'; a module\n"
       "stopped with this command is not restarted by the unit.");

constexpr const char* kKillDescription =
    N_("Exit status: 0 when the module has stopped; 1 when no module is running\n"
       "(nothing is sent), the session bus cannot be reached, or the module still\n"
       "holds its name after 5 s; 2 on a usage error.");

constexpr guint kReleaseTimeoutMs = 5000;

struct Kill {
  const HostClient* client = nullptr;
  GMainLoop* loop = nullptr;
  bool sent = false;
  bool owned = false;
  int status = 0;

  void finish(int exitStatus) {
    status = exitStatus;
    g_main_loop_quit(loop);
  }
};

bool postKill(const HostClient& client) {
  std::string error;
  if (client.requestStop(&error)) {
    GError* raw = nullptr;
    if (g_dbus_connection_flush_sync(client.bus(), nullptr, &raw)) return true;
    nuv::glib::Error flushError(raw);
    error = flushError ? flushError->message : _("unknown error");
  }
  // TRANSLATORS: the notification ("vemo.Tallyport.kill"), then the reason.
  std::fprintf(stderr, _("nuvctl kill: could not send %s: %s\n"), nuv::bus::kKillNotification,
               error.c_str());
  return false;
}

void onAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer data) {
  auto* kill = static_cast<Kill*>(data);
  kill->owned = true;
  if (kill->sent) return;  // a queued module took the name over; it got the kill too
  if (!postKill(*kill->client)) return kill->finish(1);
  kill->sent = true;
  g_timeout_add(
      kReleaseTimeoutMs,
      [](gpointer data) {
        std::fputs(_("nuvctl kill: the module still holds its bus name after 5 s\n"), stderr);
        static_cast<Kill*>(data)->finish(1);
        return G_SOURCE_REMOVE;
      },
      kill);
}

void onVanished(GDBusConnection*, const gchar*, gpointer data) {
  auto* kill = static_cast<Kill*>(data);
  kill->owned = false;
  if (!kill->sent) {
    std::fprintf(stderr, "nuvctl kill: %s\n", _(HostClient::kNoModule));
    return kill->finish(1);
  }
  // When the name passes to a queued module, "appeared" follows in the same
  // dispatch: decide once that has had its chance.
  g_idle_add(
      [](gpointer data) {
        auto* kill = static_cast<Kill*>(data);
        if (!kill->owned) kill->finish(0);
        return G_SOURCE_REMOVE;
      },
      kill);
}

}  // namespace

int runKill(Args args) {
  if (auto status =
          CommandLine("nuvctl kill", "", _(kKillSummary), _(kKillDescription)).parse(args)) {
    return *status;
  }
  HostClient client = HostClient::onSessionBus("nuvctl kill");
  if (!client) return 1;
  Kill kill;
  kill.client = &client;
  kill.loop = g_main_loop_new(nullptr, FALSE);
  const guint watch = g_bus_watch_name_on_connection(client.bus(), nuv::bus::kHostServiceName,
                                                     G_BUS_NAME_WATCHER_FLAGS_NONE, onAppeared,
                                                     onVanished, &kill, nullptr);
  g_main_loop_run(kill.loop);
  g_bus_unwatch_name(watch);
  g_main_loop_unref(kill.loop);
  return kill.status;
}

}  // namespace nuvctl
