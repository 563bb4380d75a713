#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Date.h"
#include "platform/Timer.h"

namespace nuv {

// One change of a device's battery as the module broadcast it.
struct BatterySample {
  Date time;
  std::uint8_t level = 0;  // percent
  bool charging = false;
  bool external = false;  // on external power

  friend bool operator==(const BatterySample&, const BatterySample&) = default;
};

// The module's own life, kept beside the samples so that a reader can tell
// the time nobody watched from a battery that did not change.
enum class ModuleEvent : std::uint8_t { Start, Stop, Sleep, Wake };

struct ModuleEventAt {
  Date time;
  ModuleEvent event = ModuleEvent::Start;

  friend bool operator==(const ModuleEventAt&, const ModuleEventAt&) = default;
};

// A time the module did not watch, [start, end).
struct HistoryGap {
  Date start;
  Date end;

  friend bool operator==(const HistoryGap&, const HistoryGap&) = default;
};

// What a reader gets for one device: its samples in time order and the gaps.
struct DeviceHistory {
  std::vector<BatterySample> samples;
  std::vector<HistoryGap> gaps;

  friend bool operator==(const DeviceHistory&, const DeviceHistory&) = default;
};

// A device that has history, by its Bonjour value, with the name it last had
// ("" when none was ever known).
struct HistoryDevice {
  std::string device;
  std::string name;

  friend bool operator==(const HistoryDevice&, const HistoryDevice&) = default;
};

// One reading of a device's battery health, as the probe reported it. Each
// value is absent when the device did not give it.
struct HealthReading {
  Date time;
  std::optional<std::int32_t> cycleCount;
  std::optional<std::int32_t> fullChargeCapacity;  // mAh
  std::optional<std::int32_t> designCapacity;      // mAh
  std::optional<std::int32_t> maxCapacity;         // percent of the design capacity

  // Whether both carry the same values, whenever they were read.
  bool sameValues(const HealthReading& other) const {
    return cycleCount == other.cycleCount && fullChargeCapacity == other.fullChargeCapacity &&
           designCapacity == other.designCapacity && maxCapacity == other.maxCapacity;
  }
  friend bool operator==(const HealthReading&, const HealthReading&) = default;
};

// The battery history kept on disk. Writes are queued and return at once;
// they land in call order. A write that fails (a full disk, a file another
// process holds locked) is lost and reported in the log by the store, never
// to the caller: history is not worth stalling the module for.
//
// Threading: every call from the loop thread; `done` runs on it too.
class HistoryStore {
 public:
  struct Stored {
    std::vector<BatterySample> samples;  // time order
    // Time order: the events since the time asked for, led by the last one
    // before it (so the reader knows whether the module watched then).
    std::vector<ModuleEventAt> events;
  };

  virtual ~HistoryStore() = default;

  // `name` is the device's name now, kept as its last known one so that it
  // can be listed and named after it has left; "" keeps the one known before.
  virtual void addSample(const std::string& device, const std::string& name,
                         const BatterySample& sample) = 0;
  virtual void addEvent(const ModuleEventAt& event) = 0;
  // Keeps `health` as the device's reading of `day` (the calendar day the
  // caller counts it on), replacing one stored for that day before: a device
  // has one health row per day, the last reading of it. `name` as for
  // addSample.
  virtual void addHealth(const std::string& device, const std::string& name,
                         std::chrono::sys_days day, const HealthReading& health) = 0;
  // Drops samples and events older than `cutoff` and health rows older than
  // `healthCutoff` (one exactly at a cutoff stays), and what is known of a
  // device that has neither samples nor health rows left.
  virtual void pruneBefore(Date cutoff, Date healthCutoff) = 0;
  // One device's samples at or after `since`; a device never stored has none.
  // A read that fails gives nothing, as for an unknown device.
  virtual void read(const std::string& device, Date since, std::function<void(Stored)> done) = 0;
  // The devices with samples or health rows at or after `since`, ordered by
  // Bonjour value. A read that fails gives none.
  virtual void readDevices(Date since, std::function<void(std::vector<HistoryDevice>)> done) = 0;
  // One device's health rows taken at or after `since`, oldest first; a
  // device never stored, or a read that fails, gives none.
  virtual void readHealth(const std::string& device, Date since,
                          std::function<void(std::vector<HealthReading>)> done) = 0;
  // Blocks until the queued writes have landed, at most `timeout`: the
  // process is about to end.
  virtual void flush(Milliseconds timeout) = 0;
};

}  // namespace nuv
