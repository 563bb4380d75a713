#include <gio/gio.h>
#include <glib-unix.h>
#include <glib/gi18n.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>

#include "Commands.h"
#include "WatchView.h"
#include "client/DeviceStatus.h"
#include "client/HostClient.h"
#include "platform/BusNames.h"
#include "platform/linux/GlibHandles.h"

namespace nuvctl {

using nuvclient::DeviceStatus;
using nuvclient::HostClient;
using nuvclient::StackPayload;
namespace {

constexpr const char* kWatchSummary =
    // TRANSLATORS: "iOSStack", --json and the JSON example stay as they are.
    N_("Shows the status of the iPhones, iPads and iPods that NUVModule reports:\n"
       "the current map at once (read from the module's Devices property), then\n"
       "every change. The module broadcasts its whole device map as the\n"
       "notification \"iOSStack\" on the session bus when a device is new or its\n"
       "facts change, and after every USB attach or detach; this command follows\n"
       "those broadcasts. When no module is running it waits, and shows the map\n"
       "of a module as soon as one starts.\n"
       "\n"
       "On a terminal the devices are shown as a table that is redrawn in place:\n"
       "name, battery bar and percentage, charging, attached on USB, and the age\n"
       "of the last change the module reported for the device.\n"
       "\n"
       "Otherwise, or with --json, the current map and then every broadcast is\n"
       "written as one JSON object on its own line, flushed at once:\n"
       "  {\"received\": \"2026-12-06T18:30:12.000250Z\",\n"
       "   \"devices\": {\"<UDID>\": {\"Bonjour\": \"<UDID>\", \"name\": \"My Phone\",\n"
       "                          \"Battery\": \"87\", ..., \"timestamp\": \"...\"}}}\n"
       "Dates are UTC. \"timestamp\" is present only on entries the latest probe\n"
       "run changed.");

constexpr const char* kWatchDescription =
    N_("A broadcast that does not have the documented shape is reported on\n"
       "standard error and skipped; watching goes on.\n"
       "\n"
       "Exit status: 0 after Ctrl-C, SIGTERM or N broadcasts; 1 when the session\n"
       "bus cannot be reached or the connection is lost; 2 on a usage error.");

struct Watch {
  GMainLoop* loop = nullptr;
  bool json = false;
  long remaining = -1;  // broadcasts left before exiting; -1 for no limit
  int status = 0;
  WatchView view;
  const HostClient* client = nullptr;

  void redraw() {
    // Home, clear to the end of the screen, then the table.
    std::string frame = "\x1b[H\x1b[J" + view.table(WatchView::now());
    std::fputs(frame.c_str(), stdout);
    std::fflush(stdout);
  }

  void show(const StackPayload& payload, nuv::Date received) {
    if (json) {
      const std::string line = WatchView::jsonLine(payload, received) + "\n";
      std::fputs(line.c_str(), stdout);
      std::fflush(stdout);
    } else {
      view.update(payload, received);
      redraw();
    }
  }
};

void onNotification(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                    GVariant* body, gpointer data) {
  auto* watch = static_cast<Watch*>(data);
  const nuv::Date received = WatchView::now();
  std::string error;
  auto payload = StackPayload::fromSignalBody(body, &error);
  if (!payload) {
    // TRANSLATORS: the notification ("iOSStack"), then what is wrong with it.
    std::fprintf(stderr, _("nuvctl watch: skipped a malformed \"%s\" broadcast: %s\n"),
                 nuv::bus::kStackNotification, DeviceStatus::displayText(error).c_str());
    std::fflush(stderr);
    return;
  }
  watch->show(*payload, received);
  if (watch->remaining > 0 && --watch->remaining == 0) g_main_loop_quit(watch->loop);
}

// The current map of a module that is (or has just started) running. Its
// reply and its broadcasts come from the same sender, in order, so showing
// them as they arrive never lets an older map replace a newer one.
void onDevices(GObject* bus, GAsyncResult* result, gpointer data) {
  auto* watch = static_cast<Watch*>(data);
  StackPayload payload;
  std::string error;
  switch (HostClient::finishDevices(bus, result, &payload, &error)) {
    case HostClient::Result::Ok:
      watch->show(payload, WatchView::now());
      break;
    case HostClient::Result::NoModule:  // gone again; the next one is read when it comes
    case HostClient::Result::Cancelled:
      break;
    case HostClient::Result::Failed:
      std::fprintf(stderr, _("nuvctl watch: cannot read the device map: %s\n"),
                   DeviceStatus::displayText(error).c_str());
      std::fflush(stderr);
      break;
  }
}

void onModuleAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer data) {
  auto* watch = static_cast<Watch*>(data);
  watch->client->readDevicesAsync(onDevices, watch);
}

gboolean onTick(gpointer data) {
  static_cast<Watch*>(data)->redraw();
  return G_SOURCE_CONTINUE;
}

gboolean onStopSignal(gpointer data) {
  g_main_loop_quit(static_cast<Watch*>(data)->loop);
  return G_SOURCE_CONTINUE;
}

void onClosed(GDBusConnection*, gboolean, GError*, gpointer data) {
  auto* watch = static_cast<Watch*>(data);
  std::fputs(_("nuvctl watch: lost the connection to the session bus\n"), stderr);
  watch->status = 1;
  g_main_loop_quit(watch->loop);
}

}  // namespace

int runWatch(Args args) {
  Watch watch;
  std::optional<long> count;
  CommandLine line("nuvctl watch", "", _(kWatchSummary), _(kWatchDescription));
  line.flag("json", _("JSON lines, even on a terminal"), &watch.json)
      // TRANSLATORS: the value of --count, named in its help.
      .number("count", _("N"),
              _("Exit after N broadcasts; the map shown at the start does not count"), 1, &count);
  if (auto status = line.parse(args)) return *status;
  if (count) watch.remaining = *count;
  const bool terminal = isatty(STDOUT_FILENO);
  if (!terminal) watch.json = true;

  HostClient client = HostClient::onSessionBus("nuvctl watch");
  if (!client) return 1;
  GDBusConnection* bus = client.bus();
  watch.client = &client;

  watch.loop = g_main_loop_new(nullptr, FALSE);
  // Subscribed before the map is read, so no change falls in between.
  const guint subscription = g_dbus_connection_signal_subscribe(
      bus, nullptr, nuv::bus::kNotificationInterface, nuv::bus::kNotificationMember,
      nuv::bus::kNotificationPath, nuv::bus::kStackNotification, G_DBUS_SIGNAL_FLAGS_NONE,
      onNotification, &watch, nullptr);
  const gulong closedHandler = g_signal_connect(bus, "closed", G_CALLBACK(onClosed), &watch);
  const guint moduleWatch =
      g_bus_watch_name_on_connection(bus, nuv::bus::kHostServiceName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                     onModuleAppeared, nullptr, &watch, nullptr);
  const guint sigint = g_unix_signal_add(SIGINT, onStopSignal, &watch);
  const guint sigterm = g_unix_signal_add(SIGTERM, onStopSignal, &watch);
  guint tick = 0;
  if (!watch.json) {
    std::fputs("\x1b[?25l", stdout);  // hide the cursor while redrawing
    watch.redraw();
    tick = g_timeout_add_seconds(1, onTick, &watch);
  }

  g_main_loop_run(watch.loop);

  if (tick) g_source_remove(tick);
  if (!watch.json) std::fputs("\x1b[?25h", stdout);
  std::fflush(stdout);
  g_source_remove(sigterm);
  g_source_remove(sigint);
  g_bus_unwatch_name(moduleWatch);
  g_signal_handler_disconnect(bus, closedHandler);
  g_dbus_connection_signal_unsubscribe(bus, subscription);
  g_main_loop_unref(watch.loop);
  return watch.status;
}

}  // namespace nuvctl
