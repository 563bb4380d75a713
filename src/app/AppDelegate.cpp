#include "app/AppDelegate.h"

#include <vector>

#include "app/CloudRecordBridge.h"
#include "app/RelaunchCommand.h"
#include "cloud/TodoFetcher.h"
#include "cloud/TodoListRefresher.h"
#include "platform/Bundle.h"
#include "platform/BusNames.h"
#include "platform/Calendar.h"
#include "platform/DetachedProcessLauncher.h"
#include "platform/HostService.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/Process.h"
#include "platform/RunLoop.h"
#include "platform/UserDefaults.h"
#include "platform/Workspace.h"
#include "platform/WorkspaceNotifications.h"
#include "usb/USBPluWatcher.h"

namespace nuv {

AppDelegate::AppDelegate(Dependencies deps) : deps_(deps) {
  if (deps_.historyStore) history_.emplace(deps_.loop, *deps_.historyStore, deps_.calendar);
}

AppDelegate::~AppDelegate() { setCoreLoop(nullptr); }

void AppDelegate::setCoreLoop(TimerRef timer) {
  if (coreLoop_ && coreLoop_ != timer) coreLoop_->invalidate();
  coreLoop_ = std::move(timer);
}

// Every instance but the one the system lists first is asked to quit; the
// survivor may be an older instance, and then this process asks itself.
void AppDelegate::applicationWillFinishLaunching() {
  const auto me = deps_.bundle.bundleIdentifier();
  if (!me) {
    log::warning(
        "no bundle identifier (Resources/Info.plist unreadable); single-instance rule skipped");
    return;
  }
  std::vector<std::shared_ptr<RunningApplication>> instances;
  for (auto& app : deps_.workspace.runningApplications()) {
    if (app->bundleIdentifier() == me) instances.push_back(app);
  }
  while (instances.size() >= 2) {
    instances.back()->terminate();
    instances.pop_back();
  }
}

void AppDelegate::applicationDidFinishLaunching() {
  setStartDate(deps_.loop.clock().now());
  if (history_) history_->moduleStarted();
  setupNUV();
  killObservation_ = deps_.distributedCenter.addObserver(bus::kKillNotification,
                                                         [this](const Notification&) { killMe(); });
  if (deps_.hostService) {
    hostPublication_ = deps_.hostService->publish({
        .refresh = [this] { refreshRequested(); },
        .nameLost =
            [] {
              log::warning(
                  "another process holds the host service's name; host applications reach that "
                  "process until it lets the name go");
            },
        .history =
            [this](const std::string& device, Date since,
                   std::function<void(const DeviceHistory&)> reply) {
              if (!history_) return reply({});
              history_->readHistory(device, since, std::move(reply));
            },
        .historyDevices =
            [this](Date since, std::function<void(const std::vector<HistoryDevice>&)> reply) {
              if (!history_) return reply({});
              history_->readDevices(since, std::move(reply));
            },
        .healthHistory =
            [this](const std::string& device, Date since,
                   std::function<void(const std::vector<HealthReading>&)> reply) {
              if (!history_) return reply({});
              history_->readHealth(device, since, std::move(reply));
            },
    });
  }
}

void AppDelegate::applicationWillTerminate() {
  // Nothing started for a run may outlive the module: the probe of the
  // current or last run and whatever is left of its group. Blocks for the
  // grace at most; the process ends right after.
  if (task) task->stopGroup(kProbeStopGrace);
  if (history_) history_->moduleStopping();
}

void AppDelegate::killMe() { deps_.application.terminate(); }

void AppDelegate::setupNUV() {
  fileNotifications();
  if (deps_.todoRefresher) {
    deps_.todoRefresher->setListFetchedHandler([this] { writeDevicesWithoutRecord(); });
    deps_.todoRefresher->start();
  } else if (deps_.todoFetcher) {
    deps_.todoFetcher->fetch();
  }
  armPollTimer();
  DeviceRep.clear();
  if (usbWatcher_) {
    // The watcher holds its delegate strongly; this object lives as long as
    // the process, so the reference it gets does not own it.
    usbWatcher_->setDeleg(std::shared_ptr<USBPluWatcherDelegate>(std::shared_ptr<void>(), this));
    USBPluWatcher* watcher = usbWatcher_;
    deps_.loop.postDelayed(Milliseconds(2000), [watcher] { watcher->appleUSBReg(); });
  }
}

void AppDelegate::fileNotifications() {
  if (!deps_.workspaceCenter) return;
  sleepObservation_ = deps_.workspaceCenter->addObserver(
      kWorkspaceWillSleepNotification,
      [this](const Notification& note) { receiveSleepNote(note); });
  wakeObservation_ = deps_.workspaceCenter->addObserver(
      kWorkspaceDidWakeNotification, [this](const Notification& note) { receiveWakeNote(note); });
}

// Runs before the system may suspend: the save is synchronised here because
// the sleep inhibitor is released as soon as this returns.
void AppDelegate::receiveSleepNote(const Notification& note) {
  if (deps_.userDefaults) {
    deps_.userDefaults->setValueForKey(toDictionary(DeviceRep), kCurrentKey);
    deps_.userDefaults->synchronize();
  }
  if (history_) history_->moduleSleeping();
  log::info("receiveSleepNote: " + note.name);
  setCoreLoop(nullptr);
}

void AppDelegate::receiveWakeNote(const Notification&) {
  if (history_) history_->moduleWoke();
  if (task) {
    // The relaunch ends this process next, so the probe's group is stopped
    // the way termination stops it; a probe that ignores SIGTERM must not
    // outlive the module.
    task->stopGroup(kProbeStopGrace);
    task.reset();
  }
  setCoreLoop(nullptr);
  if (deps_.userDefaults && deps_.calendar &&
      deps_.calendar->isDateInYesterday(startDate(), deps_.loop.clock().now())) {
    deps_.userDefaults->removeObjectForKey(kCurrentKey);
    deps_.userDefaults->synchronize();
  }
  relaunchAfterDelay(kRelaunchDelay);
}

void AppDelegate::relaunchAfterDelay(float delay) {
  const std::string command =
      relaunchCommand(delay, deps_.bundle.bundlePath() + "/NUVModule", deps_.supervisingUnit);
  std::string error = "no launcher";
  if (!deps_.relauncher || !deps_.relauncher->launchDetached("/bin/sh", {"-c", command}, &error)) {
    log::error("cannot start the relaunch (" + error + "); this process carries on");
    armPollTimer();
    return;
  }
  deps_.application.terminate();
}

void AppDelegate::armPollTimer() {
  setCoreLoop(deps_.loop.scheduleTimer(kPollInterval, [this] { fireTimer(); }));
}

void AppDelegate::fireTimer() {
  if (stillRunning()) return;  // the run in progress arms the next timer
  startMonitoring();
}

void AppDelegate::startMonitoring() {
  if (stillRunning()) {
    armPollTimer();
    return;
  }
  log::debug(kTickLine);
  setStillRunning(true);
  if (task && task->isGroupRunning()) {
    // What the last probe left behind had its SIGTERM when its run ended.
    task->kill();
  }
  task.reset();
  const std::string output = runProbe();
  updateUI(parseProbeOutput(output));
  setStillRunning(false);
}

// Runs the probe tool to its end and returns what it printed. Every failure
// (missing, not startable, hung, crashed) is an empty run so the loop goes on.
std::string AppDelegate::runProbe() {
  const auto path = deps_.bundle.pathForResource(kProbeToolName);
  if (!path) {
    log::warning(std::string("probe tool ") + kProbeToolName + " is missing from the bundle");
    return {};
  }
  auto probe = deps_.launcher.makeProcess(*path, {"-f"});
  task = probe;
  std::string error;
  if (!probe->launch(&error)) {
    log::warning("cannot start probe tool " + *path + ": " + error);
    return {};
  }
  bool timedOut = false;
  TimerRef kill;
  TimerRef watchdog = deps_.loop.scheduleTimer(kProbeTimeout, [&, probe] {
    timedOut = true;
    log::warning("probe tool did not exit within 30 s; stopping it");
    probe->terminate();
    kill = deps_.loop.scheduleTimer(kProbeKillGrace, [probe] { probe->kill(); });
  });
  probe->waitUntilExit(kProbeOutputGrace);
  watchdog->invalidate();
  if (kill) kill->invalidate();
  if (probe->isGroupRunning()) {
    // The probe is gone but something it started lives on (a daemon that
    // held its output, a background child): the run is over, and so are they.
    if (!reportedLeftovers_) {
      log::warning("probe tool left processes running after it exited; stopping them");
      reportedLeftovers_ = true;
    }
    probe->terminate();
  }
  std::string output = probe->readOutputToEnd();
  probeErrors_.runEnded(probe->readErrorToEnd());
  if (timedOut) return {};
  return output;
}

void AppDelegate::updateUI(std::optional<ProbeOutput> d) {
  if (!d) {
    armPollTimer();
    return;
  }
  auto bonjour = d->find(kBonjourKey);
  if (bonjour == d->end()) {
    armPollTimer();
    return;
  }
  const std::string b = bonjour->second;

  DeviceEntry entry;
  entry.pairs = std::move(*d);
  // The run's date replaces whatever "timestamp" the probe printed.
  entry.pairs.erase(kTimestampKey);
  entry.timestamp = deps_.loop.clock().now();

  auto stored = DeviceRep.find(b);
  if (stored == DeviceRep.end()) {
    updateRecord(entry);
    DeviceRep.emplace(b, std::move(entry));
    postStack();
  } else {
    // An unchanged device keeps its entry, which loses its "timestamp":
    // silently, but hosts reading the map see it at once.
    const bool hadTimestamp = stored->second.timestamp.has_value();
    stored->second.timestamp.reset();
    if (stored->second.pairs != entry.pairs) {
      // A change the record's fields do not see (a temperature, a charger)
      // is not saved again: the same values would cost a cloud write each.
      const bool forRecord =
          CloudRecordBridge::recordFieldsDiffer(stored->second.pairs, entry.pairs);
      stored->second = std::move(entry);
      if (forRecord) updateRecord(stored->second);
      postStack();
    } else if (hadTimestamp && deps_.hostService) {
      deps_.hostService->setDevices(toDictionary(DeviceRep));
    }
  }
  armPollTimer();
}

void AppDelegate::updateRecord(const DeviceEntry& entry) {
  if (!deps_.todoFetcher) return;
  auto bonjour = entry.pairs.find(kBonjourKey);
  const std::string key = bonjour != entry.pairs.end() ? bonjour->second : std::string();
  if (CloudRecordBridge::updateRecord(entry.pairs, *deps_.todoFetcher)) {
    withoutRecord_.erase(key);
  } else if (deps_.todoRefresher) {
    withoutRecord_.insert(key);
    deps_.todoRefresher->deviceWithoutRecord();
  }
}

// A value that found no record (the list was not fetched yet, or the record
// was added since) is not lost: the entry in the map, the newest value, is
// written as soon as a fetch brings the record.
void AppDelegate::writeDevicesWithoutRecord() {
  if (!deps_.todoFetcher) return;
  for (auto it = withoutRecord_.begin(); it != withoutRecord_.end();) {
    auto stored = DeviceRep.find(*it);
    if (stored == DeviceRep.end() ||
        CloudRecordBridge::updateRecord(stored->second.pairs, *deps_.todoFetcher)) {
      it = withoutRecord_.erase(it);
    } else {
      ++it;
    }
  }
}

void AppDelegate::setHostAttached(const char* from, const char* to) {
  const DeviceStatusMap snapshot = DeviceRep;
  for (const auto& [bonjour, entry] : snapshot) {
    DeviceEntry copy = entry;
    auto flag = copy.pairs.find(kHostAttachedKey);
    if (flag != copy.pairs.end() && flag->second == from) flag->second = to;
    auto key = copy.pairs.find(kBonjourKey);
    DeviceRep.insert_or_assign(key != copy.pairs.end() ? key->second : bonjour, std::move(copy));
  }
  postStack();
}

bool AppDelegate::respondsTo(Message) const { return true; }

void AppDelegate::DevicePlugged() { setHostAttached("0", "1"); }

void AppDelegate::DeviceUnplugged() { setHostAttached("1", "0"); }

void AppDelegate::refreshRequested() {
  if (refreshQueued_) return;
  refreshQueued_ = true;
  deps_.loop.post([this] {
    refreshQueued_ = false;
    startMonitoring();
  });
}

// Hosts that follow the service get the same map as the broadcast, at the
// same moments and only then. The service holds the new map before the
// broadcast leaves, so a host that reads on hearing it never gets the old one.
void AppDelegate::postStack() {
  const Notification note{bus::kStackNotification, "", toDictionary(DeviceRep)};
  if (deps_.hostService) deps_.hostService->setDevices(note.userInfo);
  deps_.distributedCenter.postNotification(note);
  if (deps_.hostService) deps_.hostService->announceDevices();
  if (history_) history_->mapBroadcast(DeviceRep);
}

}  // namespace nuv
