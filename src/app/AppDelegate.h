#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "app/DeviceStatusMap.h"
#include "app/HistoryRecorder.h"
#include "app/ProbeErrorLog.h"
#include "platform/Application.h"
#include "platform/Date.h"
#include "platform/Subscription.h"
#include "platform/Timer.h"
#include "usb/USBPluWatcherDelegate.h"

namespace nuv {

class Bundle;
class HostService;
class NotificationCenter;
class Process;
class ProcessLauncher;
class RunLoop;
class USBPluWatcher;
class TodoFetcher;
class TodoListRefresher;
class Workspace;
struct Notification;
class UserDefaults;
class Calendar;
class DetachedProcessLauncher;

// The module: single-instance rule, start-up, the poll loop with its probe
// runs, the device status map and its "iOSStack" broadcast.
//
// Threading: every method runs on the main loop thread. Work that originates
// elsewhere (USB watcher messages, cloud results) is posted to the main loop
// before it reaches this object, so the map, `task` and `coreLoop` are only
// ever touched by one thread. A probe run waits with a nested loop, so
// timers, bus notifications and posted work are served during the run; they
// meet `stillRunning` exactly like a second thread would.
class AppDelegate : public ApplicationDelegate, public USBPluWatcherDelegate {
 public:
  struct Dependencies {
    RunLoop& loop;
    ProcessLauncher& launcher;
    NotificationCenter& distributedCenter;
    Workspace& workspace;
    Bundle& bundle;
    Application& application;
    // The record store (sharedFetcher in the module); null runs without cloud records.
    TodoFetcher* todoFetcher = nullptr;
    // Keeps the store's list current (retries, refreshes, sign-in); null: the
    // store fetches once at start-up.
    TodoListRefresher* todoRefresher = nullptr;
    // Sleep and wake: the workspace's notification centre, the user defaults
    // that keep the map across sleep, the user's calendar and the launcher of
    // the relaunch shell. Without a centre there is no sleep handling; the
    // other three must then be given too.
    NotificationCenter* workspaceCenter = nullptr;
    UserDefaults* userDefaults = nullptr;
    const Calendar* calendar = nullptr;
    DetachedProcessLauncher* relauncher = nullptr;
    // The systemd user unit that runs this process as its main program; ""
    // for none. The relaunch then goes through the unit.
    std::string supervisingUnit = {};
    // Where host applications read the map and ask for a run; null: nowhere.
    HostService* hostService = nullptr;
    // Where the battery history goes; null: none is kept.
    HistoryStore* historyStore = nullptr;
  };

  static constexpr const char* kProbeToolName = "devInfo.NUVModule";
  static constexpr const char* kCurrentKey = "current";
  static constexpr float kRelaunchDelay = 3;
  static constexpr const char* kTickLine = "--------------------- tick -----------------";
  static constexpr Milliseconds kPollInterval{5000};
  // A probe that has not exited by then is stopped: SIGTERM, then SIGKILL.
  static constexpr Milliseconds kProbeTimeout{30000};
  static constexpr Milliseconds kProbeKillGrace{2000};
  // Once the probe has exited, how long a process it left behind may keep
  // its output open before the run takes what has arrived.
  static constexpr Milliseconds kProbeOutputGrace{100};
  // When the module ends (or relaunches at wake): how long the probe's group
  // has between SIGTERM and SIGKILL.
  static constexpr Milliseconds kProbeStopGrace{200};

  explicit AppDelegate(Dependencies deps);
  ~AppDelegate() override;

  // ApplicationDelegate
  void applicationWillFinishLaunching() override;  // single-instance rule
  void applicationDidFinishLaunching() override;   // start-up, then the host service
  void applicationWillTerminate() override;        // stops the probe's process group

  void killMe();
  void setupNUV();
  void fireTimer();
  // One probe run; with a run already in progress it only arms a poll timer.
  void startMonitoring() override;
  // Merges one probe result; null stands for no result. Always arms the poll
  // timer. A new device's record is always written; a changed one's only when
  // the change touches what the record holds (CloudRecordBridge::recordFieldsDiffer).
  void updateUI(std::optional<ProbeOutput> d);
  void DevicePlugged() override;
  void DeviceUnplugged() override;
  // A host asked for a probe run: startMonitoring in a later loop iteration,
  // as a USB match starts one. Requests made before that iteration are one.
  void refreshRequested();
  // Writes a new or changed entry's battery data into its cloud record. A
  // device without a record yet is written once a fetch brings its record.
  void updateRecord(const DeviceEntry& entry);
  // Subscribes to system sleep and wake.
  void fileNotifications();
  // Saves the map under "current" and stops the poll timer.
  void receiveSleepNote(const Notification& note);
  // Stops the probe and the poll timer, drops a "current" saved by a process
  // started yesterday, and relaunches.
  void receiveWakeNote(const Notification& note);
  // Starts the shell that runs the module again `delay` seconds later and
  // ends this process. Should the shell not start, this process carries on
  // polling instead of leaving nothing running.
  void relaunchAfterDelay(float delay);

  // The USB watcher that setupNUV connects (the shared one in the module);
  // none: no USB events. Call before launch.
  void setUsbWatcher(USBPluWatcher* watcher) { usbWatcher_ = watcher; }
  // USBPluWatcherDelegate: every message is taken; they arrive on the main loop.
  bool respondsTo(Message message) const override;

  // Accessors. Replacing the poll timer invalidates the one it replaces, so
  // at most one poll timer is ever pending.
  const TimerRef& coreLoop() const { return coreLoop_; }
  void setCoreLoop(TimerRef timer);
  bool stillRunning() const { return _stillRunning.load(); }
  void setStillRunning(bool running) { _stillRunning.store(running); }
  Date startDate() const { return _startDate; }
  void setStartDate(Date date) { _startDate = date; }

  const DeviceStatusMap& deviceStatusMap() const { return DeviceRep; }
  const std::shared_ptr<Process>& currentTask() const { return task; }

 private:
  void armPollTimer();
  void setHostAttached(const char* from, const char* to);
  void postStack();
  void writeDevicesWithoutRecord();
  std::string runProbe();

  Dependencies deps_;

  DeviceStatusMap DeviceRep;
  std::shared_ptr<Process> task;
  std::atomic<bool> _stillRunning{false};
  TimerRef coreLoop_;
  Date _startDate;

  bool refreshQueued_ = false;

  Subscription killObservation_;
  Subscription hostPublication_;
  Subscription sleepObservation_;
  Subscription wakeObservation_;
  USBPluWatcher* usbWatcher_ = nullptr;
  bool reportedLeftovers_ = false;
  ProbeErrorLog probeErrors_;
  // Bonjour values of the devices whose last value found no record.
  std::set<std::string> withoutRecord_;
  std::optional<HistoryRecorder> history_;
};

}  // namespace nuv
