// NUVModule: the composition root. Builds the Linux backends, installs the
// process-wide services and hands control to the application shell.

#include <clocale>
#include <cstdio>
#include <optional>
#include <string>

#include <gio/gio.h>
#include <unistd.h>

#include "app/AppDelegate.h"
#include "cloud/TodoFetcher.h"
#include "cloud/TodoListRefresher.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/Log.h"
#include "platform/ProcessServices.h"
#include "platform/linux/GlibHandles.h"
#include "platform/linux/bus/BusNotificationCenter.h"
#include "platform/linux/bus/GDBusHostService.h"
#include "platform/linux/cloud/CloudWriteStatusFile.h"
#include "platform/linux/cloudkit/CloudKitConfig.h"
#include "platform/linux/cloudkit/CloudKitPlugin.h"
#include "platform/linux/process/LinuxBundle.h"
#include "platform/linux/process/ProcWorkspace.h"
#include "platform/linux/process/SpawnDetachedLauncher.h"
#include "platform/linux/process/SpawnProcessLauncher.h"
#include "platform/linux/process/SystemdUnit.h"
#include "platform/linux/runtime/GlibApplication.h"
#include "platform/linux/runtime/GlibCalendar.h"
#include "platform/linux/runtime/GlibRunLoop.h"
#include "platform/linux/session/FileUserDefaults.h"
#include "platform/linux/session/LogindSleepMonitor.h"
#include "platform/linux/sqlite/SqliteCloudContainer.h"
#include "platform/linux/sqlite/SqliteCloudDatabase.h"
#include "platform/linux/udev/UdevUsbRegistry.h"
#include "usb/USBPluWatcher.h"

namespace {

using namespace nuv;

constexpr const char* kProgramName = "NUVModule";

// --help and --version print and give the exit status; --verbose adds this
// program's debug messages (the tick of every probe run, repeated probe
// errors) to the log. Runs before anything else starts.
std::optional<int> parseCommandLine(int& argc, char**& argv) {
  gboolean version = FALSE;
  gboolean verbose = FALSE;
  GOptionEntry entries[] = {
      {"verbose", 'v', 0, G_OPTION_ARG_NONE, &verbose,
       "Also log debug messages: a line at every probe run", nullptr},
      {"version", 0, 0, G_OPTION_ARG_NONE, &version, "Print the version and exit", nullptr},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
  glib::OptionContext context(g_option_context_new(nullptr));
  g_option_context_add_main_entries(context.get(), entries, nullptr);
  g_option_context_set_summary(
      context.get(),
      "Reports the iPhones, iPads and iPods attached to this computer to the desktop host\n"
      "application on the session bus (vemo.DistributedNotifications). Usually started by\n"
      "the systemd user unit nuvmodule.service; stopped by SIGTERM or 'nuvctl kill'.");
  g_option_context_set_description(
      context.get(),
      "Logs go to the journal under systemd (journalctl --user -u nuvmodule), to standard\n"
      "error otherwise. See NUVModule(8).\n");
  GError* raw = nullptr;
  // --help and -h print and exit with status 0 inside the parser.
  if (!g_option_context_parse(context.get(), &argc, &argv, &raw)) {
    glib::Error error(raw);
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgramName,
                 error->message, kProgramName);
    return 2;
  }
  if (argc > 1) {
    std::fprintf(stderr, "%s: unexpected argument '%s'\nTry '%s --help' for more information.\n",
                 kProgramName, argv[1], kProgramName);
    return 2;
  }
  if (version) {
    std::printf("%s %s\n", kProgramName, NUV_VERSION);
    return 0;
  }
  if (verbose) {
    // Through the environment, so a relaunched module keeps logging the same.
    const char* current = g_getenv("G_MESSAGES_DEBUG");
    std::string domains = current && *current ? std::string(current) + " " : std::string();
    g_setenv("G_MESSAGES_DEBUG", (domains + kProgramName).c_str(), TRUE);
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace nuv;
  using namespace nuv::linux_backend;

  // The user's character set, so log lines keep names such as "Zoë's iPhone"
  // instead of being converted to ASCII per line. Only LC_CTYPE: numbers in
  // texts such as the relaunch command keep the C locale's decimal point.
  std::setlocale(LC_CTYPE, "");
  g_set_prgname(kProgramName);
  if (auto status = parseCommandLine(argc, argv)) return *status;
  GlibRunLoop loop;
  LinuxBundle bundle;
  // The cloud backend named in cloud.conf: the embedded database by default,
  // or CloudKit Web Services from the bundle's plug-in. Their workers post to
  // `loop`, so they stop before the loop goes away (std::exit stops them
  // through exit handlers).
  std::string cloudConfigError;
  const auto cloudConfig =
      CloudKitConfig::load(CloudKitConfig::defaultDirectory(), &cloudConfigError);
  if (!cloudConfigError.empty()) log::warning(cloudConfigError);
  if (cloudConfig.backend == CloudKitConfig::Backend::CloudKit) {
    // A problem in the settings fails every cloud call (reported, never
    // fatal); `nuvctl cloud status` says what to fix.
    if (auto problem = cloudConfig.problem(); !problem.empty()) log::warning("cloud: " + problem);
    std::string pluginError;
    const auto* cloudKit =
        loadCloudKitPlugin(bundle.bundlePath() + "/" + kCloudKitPluginPath, &pluginError);
    if (cloudKit) {
      setCloudContainerFactory(cloudKit->factory(cloudConfig));
    } else {
      // Without a factory every fetch reports a bad container.
      log::error("cloud: cannot load the CloudKit backend: " + pluginError);
    }
  } else {
    setCloudContainerFactory(
        SqliteCloudContainer::factory(SqliteCloudContainer::defaultDirectory()));
  }
  struct CloudShutdown {
    // Every cloud worker of the process, the plug-in's included.
    ~CloudShutdown() { SqliteCloudDatabase::shutdownAll(); }
  } cloudShutdown;
  std::string error;
  auto bus = BusNotificationCenter::connectSession(&error);
  if (!bus) {
    log::error("NUVModule needs the session bus: " + error);
    return 1;
  }
  LocalNotificationCenter localCenter;
  processServices() = ProcessServices{&loop, bus.get(), &localCenter};

  linux_backend::SpawnProcessLauncher launcher(loop);
  ProcWorkspace workspace;
  GDBusConnection* connection = bus->connection();
  GlibApplication application(loop, [connection] {
    // Whatever was posted last must reach the bus before the process ends.
    g_dbus_connection_flush_sync(connection, nullptr, nullptr);
  });

  // Sleep and wake from logind (inert without a system bus), the defaults
  // file that keeps the map across sleep, and the relaunch after wake.
  auto sleepMonitor = LogindSleepMonitor::connectSystem();
  auto userDefaults = FileUserDefaults::forBundleIdentifier(bundle.bundleIdentifier());
  // Saves cut short by a kill leave temporary files; those from before this
  // process began cannot belong to a save in flight.
  if (auto started = processStartDate(getpid())) {
    userDefaults->removeLeftoverTemporaryFiles(*started);
  }
  GlibCalendar calendar;
  SpawnDetachedLauncher relauncher;
  // The map and Refresh() for host applications, on the connection the
  // broadcasts leave on, so that a PropertiesChanged never overtakes the
  // "iOSStack" it follows.
  GDBusHostService hostService(connection, NUV_VERSION);
  // The record list kept current (retries, refreshes, `nuvctl cloud login`),
  // and the write status that `nuvctl cloud status` shows.
  TodoFetcher& fetcher = TodoFetcher::sharedFetcher();
  auto refresher = TodoListRefresher::create(loop, fetcher, bus.get());
  // Written on the first change only: a module that never writes a record
  // leaves no file behind.
  CloudWriteStatusFile writeStatus(cloudConfig.writeStatusPath());
  fetcher.setWriteStatusObserver(
      [&writeStatus](const CloudWriteStatus& status) { writeStatus.store(status); });
  struct ObserverReset {
    TodoFetcher& fetcher;
    // The store outlives this function; the file does not.
    ~ObserverReset() { fetcher.setWriteStatusObserver(nullptr); }
  } observerReset{fetcher};
  AppDelegate::Dependencies deps{loop, launcher, *bus, workspace, bundle, application, &fetcher};
  deps.todoRefresher = refresher.get();
  deps.workspaceCenter = sleepMonitor.get();
  deps.userDefaults = userDefaults.get();
  deps.calendar = &calendar;
  deps.relauncher = &relauncher;
  deps.supervisingUnit = supervisingUnit();
  deps.hostService = &hostService;
  AppDelegate delegate(deps);
  // Without its bus the module has no one to report to: one line, and an
  // exit the user unit's restart policy (or the session's end) deals with.
  Subscription busLost = bus->observeClosed([&application](const std::string& reason) {
    log::warning("lost the session bus (" + reason + "); exiting");
    application.terminateWithStatus(1);
  });
  USBPluWatcher::setRegistryFactory([] { return std::make_unique<UdevUsbRegistry>(); });
  delegate.setUsbWatcher(&USBPluWatcher::sharedInstance());
  return application.run(delegate);
}
