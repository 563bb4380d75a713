// NUVModule: the composition root. Builds the Linux backends, installs the
// process-wide services and hands control to the application shell.

#include <cstdio>
#include <string>

#include <gio/gio.h>

#include "app/AppDelegate.h"
#include "cloud/TodoFetcher.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/Log.h"
#include "platform/ProcessServices.h"
#include "platform/linux/BusNotificationCenter.h"
#include "platform/linux/FileUserDefaults.h"
#include "platform/linux/GSubprocessLauncher.h"
#include "platform/linux/GlibApplication.h"
#include "platform/linux/GlibCalendar.h"
#include "platform/linux/GlibRunLoop.h"
#include "platform/linux/LinuxBundle.h"
#include "platform/linux/LogindSleepMonitor.h"
#include "platform/linux/ProcWorkspace.h"
#include "platform/linux/SpawnDetachedLauncher.h"
#include "platform/linux/SqliteCloudContainer.h"
#include "platform/linux/SqliteCloudDatabase.h"
#include "platform/linux/SystemdUnit.h"
#include "platform/linux/UdevUsbRegistry.h"
#include "usb/USBPluWatcher.h"

int main(int, char**) {
  using namespace nuv;
  using namespace nuv::linux_backend;

  GlibRunLoop loop;
  // The embedded cloud database. Its workers post to `loop`, so they stop
  // before the loop goes away (std::exit stops them through an exit handler).
  setCloudContainerFactory(SqliteCloudContainer::factory(SqliteCloudContainer::defaultDirectory()));
  struct CloudShutdown {
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

  linux_backend::GSubprocessLauncher launcher(loop);
  ProcWorkspace workspace;
  LinuxBundle bundle;
  GDBusConnection* connection = bus->connection();
  GlibApplication application(loop, [connection] {
    // Whatever was posted last must reach the bus before the process ends.
    g_dbus_connection_flush_sync(connection, nullptr, nullptr);
  });

  // Sleep and wake from logind (inert without a system bus), the defaults
  // file that keeps the map across sleep, and the relaunch after wake.
  auto sleepMonitor = LogindSleepMonitor::connectSystem();
  auto userDefaults = FileUserDefaults::forBundleIdentifier(bundle.bundleIdentifier());
  GlibCalendar calendar;
  SpawnDetachedLauncher relauncher;
  AppDelegate::Dependencies deps{
      loop, launcher, *bus, workspace, bundle, application, &TodoFetcher::sharedFetcher()};
  deps.workspaceCenter = sleepMonitor.get();
  deps.userDefaults = userDefaults.get();
  deps.calendar = &calendar;
  deps.relauncher = &relauncher;
  deps.supervisingUnit = supervisingUnit();
  AppDelegate delegate(deps);
  USBPluWatcher::setRegistryFactory([] { return std::make_unique<UdevUsbRegistry>(); });
  delegate.setUsbWatcher(&USBPluWatcher::sharedInstance());
  return application.run(delegate);
}
