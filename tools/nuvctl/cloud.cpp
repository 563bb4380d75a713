#include <gio/gio.h>
#include <glib/gi18n.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "Commands.h"
#include "TextTable.h"
#include "platform/BusNames.h"
#include "platform/linux/bus/BusNotificationCenter.h"
#include "platform/linux/cloud/CloudWriteStatusFile.h"
#include "platform/linux/cloudkit/CloudKitConfig.h"
#include "platform/linux/cloudkit/CloudKitPlugin.h"
#include "platform/linux/cloudkit/CloudKitTokenStore.h"
#include "platform/linux/process/LinuxBundle.h"
#include "platform/linux/runtime/LocaleText.h"

namespace nuvctl {
namespace {

using nuv::CloudErrorCode;
using nuv::linux_backend::CloudKitConfig;
using nuv::linux_backend::CloudKitPlugin;
using nuv::linux_backend::CloudKitSignInCheck;
using nuv::linux_backend::CloudKitTokenStore;
using nuv::linux_backend::CloudWriteStatusFile;
using nuv::linux_backend::LocaleText;

constexpr const char* kContainer = "iCloud.vemo.voltaline.Voltaline";

constexpr const char* kCloudSummary =
    // TRANSLATORS: cloud.conf, the file and its lines stay as they are; the
    // comments in brackets may be translated.
    N_("The shared cloud (CloudKit Web Services) that NUVModule writes the\n"
       "battery records into when cloud.conf selects it. Settings live in\n"
       "${XDG_CONFIG_HOME:-~/.config}/vemo.Tallyport.NUVModule/cloud.conf:\n"
       "\n"
       "  [cloud]\n"
       "  backend=cloudkit          (local, the default, keeps records on this machine)\n"
       "  environment=development   (or production: the companion app's build)\n"
       "  api_token=...             (the container's API token)");

constexpr const char* kCloudDescription =
    // TRANSLATORS: the notification stays as it is.
    N_("Tokens are never printed. Restarting the module is not needed: login\n"
       "tells the running module (the notification\n"
       "vemo.Tallyport.NUVModule.cloudSignedIn on the session bus), which fetches\n"
       "the records and sends its waiting writes at once; without a session bus\n"
       "it notices within 5 minutes.\n"
       "\n"
       "Exit status: 0 on success, 1 on failure (status: cloud.conf names an\n"
       "unknown backend), 2 on a usage error.");

constexpr const char* kStatusSummary =
    N_("Shows the backend, the environment, whether signed in, the last error,\n"
       "the module's last battery write that landed and how many wait for a\n"
       "retry, and what to do.");
constexpr const char* kStatusDescription =
    N_("Exit status: 0 on success, 1 when cloud.conf names an unknown backend, 2 on\n"
       "a usage error.");
constexpr const char* kLoginSummary =
    // TRANSLATORS: ckWebAuthToken and ckSession stay as they are.
    N_("Signs in: prints the sign-in URL, then reads the callback URL\n"
       "(ckWebAuthToken=... or ckSession=...) or the token from the argument or\n"
       "standard input, and stores it (mode 0600). An argument is visible to\n"
       "other local users, pasting is not.");
constexpr const char* kLogoutSummary = N_("Forgets the stored token.");
constexpr const char* kSubcommandDescription =
    N_("Exit status: 0 on success, 1 on failure, 2 on a usage error.");

// Text from the network, made safe for a terminal.
std::string printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) out += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
  return out;
}

CloudKitConfig loadConfig() {
  std::string error;
  auto config = CloudKitConfig::load(CloudKitConfig::defaultDirectory(), &error);
  if (!error.empty()) std::fprintf(stderr, "nuvctl cloud: %s\n", error.c_str());
  return config;
}

CloudKitTokenStore storeOf(const CloudKitConfig& config) {
  return CloudKitTokenStore(config.tokenPath(), config.statePath(), config.lockPath());
}

// Tells a running module that it can fetch now. Best effort: a module that
// misses it finds the token at its next retry.
void tellModuleSignedIn() {
  std::string error;
  auto bus = nuv::linux_backend::BusNotificationCenter::connectSession(&error);
  if (!bus) return;
  bus->postNotification(nuv::Notification{nuv::bus::kCloudSignedInNotification, "", {}});
  g_dbus_connection_flush_sync(bus->connection(), nullptr, nullptr);
}

// "label: value" lines, the values lined up one space after the longest label.
using Fields = std::vector<std::pair<std::string, std::string>>;

void printFields(const Fields& fields) {
  std::size_t width = 0;
  for (const auto& [label, value] : fields) width = std::max(width, TextTable::width(label));
  for (const auto& [label, value] : fields) {
    std::printf("%s %s\n", TextTable::pad(label, width).c_str(), value.c_str());
  }
}

// The module's writes: the last one that landed and how many are pending.
void addWrites(const CloudKitConfig& config, Fields& fields) {
  const auto contents = CloudWriteStatusFile::read(config.writeStatusPath());
  // TRANSLATORS: the labels of nuvctl cloud status, each followed by its value.
  const std::string lastWrite = _("last write:"), pending = _("pending:");
  if (!contents) {
    fields.emplace_back(lastWrite, C_("last write", "none"));
    fields.emplace_back(pending, "0");
    return;
  }
  const auto& status = contents->status;
  if (!status.lastSuccess) {
    fields.emplace_back(lastWrite, C_("last write", "none"));
  } else if (status.lastDeviceName.empty()) {
    fields.emplace_back(
        lastWrite,
        // TRANSLATORS: a time in UTC and a record's name.
        LocaleText::format(_("%s, record %s"), LocaleText::utcTime(*status.lastSuccess).c_str(),
                           printable(status.lastRecordName).c_str()));
  } else {
    fields.emplace_back(lastWrite,
                        // TRANSLATORS: a time in UTC, a record's name and the device's name.
                        LocaleText::format(_("%s, record %s (%s)"),
                                           LocaleText::utcTime(*status.lastSuccess).c_str(),
                                           printable(status.lastRecordName).c_str(),
                                           printable(status.lastDeviceName).c_str()));
  }
  // Writes left pending by a module that has stopped are not pending any more.
  const bool running = contents->pid > 0 && ::kill(static_cast<pid_t>(contents->pid), 0) == 0;
  if (running || status.pendingCount == 0) {
    fields.emplace_back(pending, LocaleText::format("%'zu", running ? status.pendingCount : 0));
  } else {
    fields.emplace_back(pending, _("0 (the module stopped with writes pending)"));
  }
}

bool isSignedOut(const CloudKitSignInCheck& check) {
  return check.serverErrorCode == "AUTHENTICATION_REQUIRED" ||
         check.serverErrorCode == "AUTHENTICATION_FAILED";
}

// The bundle beside nuvctl: <build>/NUVModule.app for the program in the
// build tree, <prefix>/<libdir>/NUVModule.app for <prefix>/bin/nuvctl.
std::string bundleDirectory() {
  const nuv::linux_backend::LinuxBundle self;
  std::error_code ignored;
  if (self.executablePath() == std::filesystem::weakly_canonical(NUVCTL_BUILD_PATH, ignored)) {
    return NUVCTL_BUILD_BUNDLE;
  }
  return self.bundlePath() + "/" + NUVCTL_INSTALLED_BUNDLE;
}

// The CloudKit backend, loaded only by the commands that talk to the
// service: nothing else in nuvctl needs libcurl and its TLS stack.
const CloudKitPlugin* loadPlugin(std::string* error) {
  const std::string path = bundleDirectory() + "/" + nuv::linux_backend::kCloudKitPluginPath;
  std::string reason;
  if (const auto* plugin = nuv::linux_backend::loadCloudKitPlugin(path, &reason)) return plugin;
  *error = LocaleText::format(_("cannot load the CloudKit backend: %s"), reason.c_str());
  return nullptr;
}

int showStatus(Args args) {
  bool check = false;
  CommandLine line("nuvctl cloud status", "", _(kStatusSummary), _(kStatusDescription));
  line.flag("check", _("Also ask the service whether the stored sign-in works"), &check);
  if (auto status = line.parse(args)) return *status;
  const auto config = loadConfig();
  if (config.backend == CloudKitConfig::Backend::Unknown) {
    std::fprintf(stderr,
                 // TRANSLATORS: %s is the settings file; backend=... stays as it is.
                 _("nuvctl cloud: %s names an unknown backend (use backend=local or "
                   "backend=cloudkit); the module uses the local one until it is fixed\n"),
                 config.configPath().c_str());
    return 1;
  }
  const bool cloudkit = config.backend == CloudKitConfig::Backend::CloudKit;
  const auto store = storeOf(config);
  // TRANSLATORS: the labels of nuvctl cloud status, each followed by its value;
  // "cloudkit" and "local" stay as they are.
  Fields fields = {{_("backend:"), cloudkit ? "cloudkit" : "local"},
                   {_("config:"), config.configPath()},
                   {_("environment:"), config.environment},
                   {_("endpoint:"), config.endpoint},
                   // TRANSLATORS: whether the API token is missing or set.
                   {_("api token:"), config.apiToken.empty() ? _("missing") : _("set")}};

  std::string checkResult;
  if (check && config.problem().empty()) {
    std::string error;
    if (const auto* plugin = loadPlugin(&error)) {
      const auto answer = plugin->checkSignIn(config, kContainer);
      checkResult = answer.error ? printable(answer.error->message) : _("ok");
    } else {
      checkResult = printable(error);
    }
  }
  const bool signedIn = store.readToken().has_value();
  const auto state = store.readState();
  fields.emplace_back(_("signed in:"), signedIn ? _("yes") : _("no"));
  // TRANSLATORS: what the service said of the stored sign-in.
  if (!checkResult.empty()) fields.emplace_back(_("check:"), checkResult);
  std::string lastError = C_("last error", "none");
  if (!state.lastError.empty() && state.lastErrorTime.empty()) {
    lastError = printable(state.lastError);
  } else if (!state.lastError.empty()) {
    // TRANSLATORS: the error, then when it happened.
    lastError = LocaleText::format(_("%s at %s"), printable(state.lastError).c_str(),
                                   state.lastErrorTime.c_str());
  }
  fields.emplace_back(_("last error:"), lastError);
  addWrites(config, fields);

  std::string todo;
  if (!cloudkit) {
    todo =
        _("nothing: records stay on this machine (set backend=cloudkit in cloud.conf to share "
          "them with the companion app)");
  } else if (auto problem = config.problem(); !problem.empty()) {
    // TRANSLATORS: what is wrong in the settings file.
    todo = LocaleText::format(_("fix cloud.conf: %s"), problem.c_str());
  } else if (!signedIn) {
    todo = _("sign in with 'nuvctl cloud login'");
  } else if (!state.lastError.empty()) {
    todo = _("see the last error; 'nuvctl cloud status --check' tries again");
  } else {
    todo = _("nothing");
  }
  // TRANSLATORS: the last label of nuvctl cloud status: what the user should do now.
  fields.emplace_back(_("to do:"), todo);
  printFields(fields);
  return 0;
}

int login(Args args) {
  // TRANSLATORS: the usage line of nuvctl cloud login.
  if (auto status = CommandLine("nuvctl cloud login", _("[TOKEN_OR_CALLBACK_URL]"),
                                _(kLoginSummary), _(kSubcommandDescription))
                        .arguments(0, 1)
                        .parse(args)) {
    return *status;
  }
  const auto config = loadConfig();
  if (auto problem = config.problem(); !problem.empty()) {
    std::fprintf(stderr, "nuvctl cloud: %s\n", problem.c_str());
    return 1;
  }
  std::string error;
  const auto* plugin = loadPlugin(&error);
  if (!plugin) {
    std::fprintf(stderr, "nuvctl cloud: %s\n", error.c_str());
    return 1;
  }
  const auto store = storeOf(config);
  std::string input;
  if (!args.empty()) {
    input = args[0];
  } else {
    const auto response = plugin->checkSignIn(config, kContainer);
    if (!response.error) {
      tellModuleSignedIn();
      std::puts(_("Already signed in."));
      return 0;
    }
    if (response.signInURL.empty()) {
      std::fprintf(stderr, "nuvctl cloud: %s\n", printable(response.error->message).c_str());
      return 1;
    }
    std::printf(_("Open this URL in a browser and sign in:\n\n  %s\n\n"
                  "Then paste the URL the browser ends on (or the token) here:\n"),
                printable(response.signInURL).c_str());
    std::fflush(stdout);
    if (!std::getline(std::cin, input)) {
      std::fputs(_("nuvctl cloud: nothing was pasted\n"), stderr);
      return 1;
    }
  }
  auto token = CloudKitTokenStore::tokenFromCallback(input);
  if (!token) {
    std::fputs(_("nuvctl cloud: no ckWebAuthToken or ckSession token found\n"), stderr);
    return 1;
  }
  {
    CloudKitTokenStore::Lock lock(store.lockPath());
    if (!store.writeToken(*token, &error)) {
      std::fprintf(stderr, "nuvctl cloud: %s\n", error.c_str());
      return 1;
    }
  }
  const auto response = plugin->checkSignIn(config, kContainer);
  if (!response.error) {
    tellModuleSignedIn();
    std::puts(_("Signed in."));
    return 0;
  }
  if (isSignedOut(response)) {
    // TRANSLATORS: %s is the service's answer.
    std::fprintf(stderr, _("nuvctl cloud: the service refused the token (%s)\n"),
                 printable(response.error->message).c_str());
    return 1;
  }
  tellModuleSignedIn();
  // TRANSLATORS: %s is the service's answer.
  std::printf(_("Token stored; the service could not confirm it yet: %s\n"),
              printable(response.error->message).c_str());
  return 0;
}

int logout(Args args) {
  if (auto status =
          CommandLine("nuvctl cloud logout", "", _(kLogoutSummary), _(kSubcommandDescription))
              .parse(args)) {
    return *status;
  }
  const auto config = loadConfig();
  const auto store = storeOf(config);
  CloudKitTokenStore::Lock lock(store.lockPath());
  if (!store.removeToken()) {
    // TRANSLATORS: %s is the token's file.
    std::fprintf(stderr, _("nuvctl cloud: cannot remove %s\n"), store.tokenPath().c_str());
    return 1;
  }
  auto state = store.readState();
  state.signInURL.clear();
  store.writeState(state);
  std::puts(_("Signed out."));
  return 0;
}

}  // namespace

int runCloud(Args args) {
  return CommandLine("nuvctl cloud", _("COMMAND"), _(kCloudSummary), _(kCloudDescription))
      .subcommand("status",
                  _("backend, environment, sign-in, the last error and writes, and what to do; "
                    "--check also asks the service"),
                  showStatus)
      .subcommand("login", _("signs in and stores the token"), login)
      .subcommand("logout", _("forgets the stored token"), logout)
      .run(std::move(args));
}

}  // namespace nuvctl
