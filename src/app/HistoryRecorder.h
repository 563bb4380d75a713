#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/DeviceStatusMap.h"
#include "platform/HistoryStore.h"
#include "platform/Timer.h"

namespace nuv {

class RunLoop;

// Decides what goes into the battery history: a sample whenever a broadcast
// carries a device whose level, charging or external power differs from the
// last sample this process stored for it (the first broadcast of a device
// after a start included, so the line resumes after a gap), and the module's
// start, stop, sleep and wake. Each sample carries the device's name, so a
// device that has left can still be listed and named. Keeps 90 days: older
// history goes at start-up and once a day after that.
//
// Threading: loop thread only.
class HistoryRecorder {
 public:
  static constexpr std::chrono::hours kKept{24 * 90};
  static constexpr std::chrono::hours kPruneInterval{24};
  // How long the last writes may hold up the end of the process.
  static constexpr Milliseconds kFlushAtStop{2000};
  static constexpr const char* kBatteryKey = "Battery";
  static constexpr const char* kChargingKey = "Charging";
  static constexpr const char* kExternalKey = "ExternalConnected";

  HistoryRecorder(RunLoop& loop, HistoryStore& store);
  ~HistoryRecorder();

  void moduleStarted();
  // Stores the stop and waits for the writes to land (kFlushAtStop at most).
  void moduleStopping();
  void moduleSleeping();
  void moduleWoke();
  // After every broadcast of `map`. Entries without a "Battery" (a device
  // that does not trust this computer) have nothing to store.
  void mapBroadcast(const DeviceStatusMap& map);

  // One device's samples since `since` and the gaps; `reply` runs later on
  // the loop thread.
  void readHistory(const std::string& device, Date since, std::function<void(DeviceHistory)> reply);
  // The devices with samples since `since`, present or not; `reply` runs
  // later on the loop thread.
  void readDevices(Date since, std::function<void(std::vector<HistoryDevice>)> reply);

  // The times nobody watched, from the module's events (led by the last one
  // before `since`), clipped to [since, now]. A gap runs from a stop or sleep
  // to the next start or wake. A start that follows a start or wake without a
  // stop in between (the process before it crashed) ends a gap that began at
  // the last thing known of that process: its last event or the device's last
  // sample before the start.
  static std::vector<HistoryGap> gaps(const HistoryStore::Stored& stored, Date since, Date now);

 private:
  void record(ModuleEvent event);
  void prune();

  RunLoop& loop_;
  HistoryStore& store_;
  TimerRef pruneTimer_;
  std::map<std::string, BatterySample> last_;
};

}  // namespace nuv
