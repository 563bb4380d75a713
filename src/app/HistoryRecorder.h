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

class Calendar;
class RunLoop;

// Decides what goes into the battery history: a sample whenever a broadcast
// carries a device whose level, charging or external power differs from the
// last sample this process stored for it (the first broadcast of a device
// after a start included, so the line resumes after a gap), and the module's
// start, stop, sleep and wake. Each sample carries the device's name, so a
// device that has left can still be listed and named.
//
// Beside the samples, one health row per device and day: the reading of the
// battery's cycle count, full-charge and design capacity (mAh) and maximum
// capacity (percent) that a broadcast carries, written when it differs from
// the last one this process stored for the device or falls on a later day.
// A day is the local calendar date of the reading's time (the entry's
// "timestamp", else now), so that a user's "today" is one row; a later
// reading of the same day replaces the day's row. The probe repeats its
// daily reading in between, so a broadcast that only changes the level costs
// a comparison, not a write. An entry without any of those values (a device
// that does not trust this computer, a probe that does not read them) stores
// no row; a value that is not a whole number from 0 up is stored as unknown.
//
// Samples and events are kept 90 days, health rows five years: older rows go
// at start-up and once a day after that.
//
// Threading: loop thread only.
class HistoryRecorder {
 public:
  static constexpr std::chrono::hours kKept{24 * 90};
  static constexpr std::chrono::hours kHealthKept{24 * (5 * 365 + 1)};  // five years, a leap day
  static constexpr std::chrono::hours kPruneInterval{24};
  // How long the last writes may hold up the end of the process.
  static constexpr Milliseconds kFlushAtStop{2000};
  static constexpr const char* kBatteryKey = "Battery";
  static constexpr const char* kChargingKey = "Charging";
  static constexpr const char* kExternalKey = "ExternalConnected";
  static constexpr const char* kCycleCountKey = "BatteryCycleCount";
  static constexpr const char* kFullChargeCapacityKey = "BatteryFullChargeCapacity";
  static constexpr const char* kDesignCapacityKey = "BatteryDesignCapacity";
  static constexpr const char* kMaxCapacityKey = "BatteryMaxCapacity";

  // `calendar` counts the health rows' days; null counts them in UTC.
  HistoryRecorder(RunLoop& loop, HistoryStore& store, const Calendar* calendar = nullptr);
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
  // One device's health rows since `since`, oldest first; `reply` runs later
  // on the loop thread.
  void readHealth(const std::string& device, Date since,
                  std::function<void(std::vector<HealthReading>)> reply);

  // The times nobody watched, from the module's events (led by the last one
  // before `since`), clipped to [since, now]. A gap runs from a stop or sleep
  // to the next start or wake. A start that follows a start or wake without a
  // stop in between (the process before it crashed) ends a gap that began at
  // the last thing known of that process: its last event or the device's last
  // sample before the start.
  static std::vector<HistoryGap> gaps(const HistoryStore::Stored& stored, Date since, Date now);

 private:
  struct StoredHealth {
    std::chrono::sys_days day;
    HealthReading health;
  };

  void record(ModuleEvent event);
  void prune();
  void recordHealth(const std::string& device, const DeviceEntry& entry, Date time);

  RunLoop& loop_;
  HistoryStore& store_;
  const Calendar* calendar_;
  TimerRef pruneTimer_;
  std::map<std::string, BatterySample> last_;
  std::map<std::string, StoredHealth> lastHealth_;
};

}  // namespace nuv
