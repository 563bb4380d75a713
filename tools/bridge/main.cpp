#include <glib-unix.h>
#include <glib.h>
#include <glib/gi18n.h>

#include <cstdio>
#include <memory>

#include "Bridge.h"
#include "BridgeSettings.h"
#include "MetricsServer.h"
#include "MqttClient.h"
#include "TextfileWriter.h"
#include "cli/CommandLine.h"
#include "client/HostFollower.h"
#include "platform/Log.h"
#include "platform/linux/bus/BusNotificationCenter.h"
#include "platform/linux/runtime/GlibRunLoop.h"
#include "platform/linux/runtime/LocaleText.h"
#include "platform/linux/runtime/TextDomain.h"

namespace {

constexpr const char* kSummary =
    N_("Shows the devices that NUVModule reports to Prometheus (an HTTP endpoint, a\n"
       "textfile for node_exporter) and to an MQTT broker, with Home Assistant discovery.");

constexpr const char* kDescription =
    // TRANSLATORS: the file, the groups and keys in brackets stay as they are.
    N_("Settings: $XDG_CONFIG_HOME/nuv-bridge/bridge.conf (--config for another file),\n"
       "groups [prometheus] (listen, textfile) and [mqtt] (url, username, password-file,\n"
       "topic-prefix, discovery-prefix, client-id, cafile); the options override it.\n"
       "See nuv-bridge(1).\n"
       "\n"
       "Exit status: 0 when stopped (SIGTERM, SIGINT), 1 on failure (a password file\n"
       "others can read, an address in use, no session bus), 2 on a usage error or\n"
       "with nothing to do.");

int onStopSignal(void* loop) {
  static_cast<nuv::RunLoop*>(loop)->quit();
  return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace nuvbridge;
  using nuv::linux_backend::LocaleText;
  nuv::linux_backend::TextDomain::bind();
  g_set_prgname("nuv-bridge");

  BridgeSettings::Options options;
  bool verbose = false;
  nuvcli::CommandLine line("nuv-bridge", "", _(kSummary), _(kDescription));
  // TRANSLATORS: FILE, ADDR:PORT, PATH and URL name the options' values in
  // their help; mqtt://HOST[:PORT] stays as it is.
  line.text("config", _("FILE"), _("Read the settings from FILE"), &options.config)
      .text("listen", _("ADDR:PORT"), _("Serve /metrics there (a loopback address unless given)"),
            &options.listen)
      .text("textfile", _("PATH"), _("Keep the metrics in PATH for node_exporter"),
            &options.textfile)
      .text("mqtt", _("URL"),
            _("Publish to the broker at mqtt://HOST[:PORT] or mqtts://HOST[:PORT]"), &options.mqtt)
      .flag("verbose", _("Also log debug messages"), &verbose)
      .action("version", _("Print the version and exit"), [] {
        std::printf("nuv-bridge %s\n", NUV_VERSION);
        return std::fflush(stdout) == 0 ? 0 : 1;
      });
  nuvcli::Args args(argv + 1, argv + argc);
  if (auto status = line.parse(args)) return *status;
  if (verbose) g_setenv("G_MESSAGES_DEBUG", "NUVModule", TRUE);

  const LoadedSettings loaded = BridgeSettings::load(options, g_get_host_name());
  if (!loaded.settings) {
    std::fprintf(stderr, "nuv-bridge: %s\n", loaded.error.c_str());
    return loaded.status;
  }
  const BridgeSettings& settings = *loaded.settings;

  nuv::linux_backend::GlibRunLoop loop;
  std::string error;
  auto bus = nuv::linux_backend::BusNotificationCenter::connectSession(&error);
  if (!bus) {
    std::fprintf(stderr, _("%s: cannot connect to the session bus: %s\n"), "nuv-bridge",
                 error.c_str());
    return 1;
  }

  Bridge::Outputs outputs;
  std::unique_ptr<MetricsServer> metrics;
  if (settings.listen) {
    metrics = MetricsServer::start(*settings.listen, &error);
    if (!metrics) {
      std::fprintf(stderr, "nuv-bridge: %s\n", error.c_str());
      return 1;
    }
    if (settings.listen->loopback) {
      // TRANSLATORS: %s is the URL of the metrics.
      nuv::log::info(LocaleText::format(_("serving the metrics at %s"), metrics->url().c_str()));
    } else {
      nuv::log::warning(LocaleText::format(
          _("serving the metrics at %s, not a loopback address: other machines can read them"),
          metrics->url().c_str()));
    }
    outputs.metrics = metrics.get();
  }
  std::unique_ptr<TextfileWriter> textfile;
  if (!settings.textfile.empty()) {
    textfile = std::make_unique<TextfileWriter>(settings.textfile);
    outputs.textfile = textfile.get();
  }
  std::unique_ptr<MqttClient> mqtt;
  std::unique_ptr<Bridge> bridge;
  if (settings.mqtt) {
    outputs.messages.emplace(settings.mqtt->topicPrefix, settings.mqtt->discoveryPrefix,
                             g_get_host_name());
    mqtt = std::make_unique<MqttClient>(
        loop, *settings.mqtt, outputs.messages->availabilityTopic(),
        MqttClient::Events{[&bridge] { bridge->mqttConnected(); },
                           [&bridge] { bridge->mqttDisconnected(); },
                           [&bridge](const std::string& topic, const std::string& payload) {
                             bridge->mqttMessage(topic, payload);
                           }});
    outputs.mqtt = mqtt.get();
  }
  bridge = std::make_unique<Bridge>(std::move(outputs));

  int status = 0;
  auto busLost = bus->observeClosed([&](const std::string& reason) {
    // TRANSLATORS: %s is why the bus went.
    nuv::log::warning(LocaleText::format(_("lost the session bus (%s); exiting"), reason.c_str()));
    status = 1;
    loop.quit();
  });
  nuvclient::HostFollower module(
      bus->connection(), {[&bridge](bool running) { bridge->moduleRunning(running); },
                          [&bridge](const nuvclient::StackPayload& map) { bridge->devices(map); }});
  if (mqtt) mqtt->start();

  const unsigned sigint = g_unix_signal_add(SIGINT, onStopSignal, &loop);
  const unsigned sigterm = g_unix_signal_add(SIGTERM, onStopSignal, &loop);
  loop.run();
  g_source_remove(sigint);
  g_source_remove(sigterm);
  bridge->stop();
  return status;
}
