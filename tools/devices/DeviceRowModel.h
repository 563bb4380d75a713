#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "DeviceRow.h"
#include "client/StackPayload.h"
#include "platform/Clock.h"
#include "platform/Date.h"

namespace nuvdevices {

// The rows of the devices window, built from the module's device status map
// (its `Devices` property or a later change of it). Pure logic: no widgets,
// no bus; time comes from the injected Clock.
//
// When a row "changed": the module stamps an entry with "timestamp" only when
// the probe run that just finished changed it, and drops the stamp at the next
// unchanged run. So the model remembers, per device, the moment of the last
// change it has seen:
//   - an entry that carries "timestamp": that moment;
//   - otherwise, a device the model has not seen before, or whose pairs differ
//     from the ones seen last (a USB attach or detach switches "Host Attached"
//     without a new stamp): now, as read from the Clock;
//   - otherwise (the same pairs again): the moment remembered before.
// A device that leaves the map is forgotten. Moments in the future (clock
// skew between processes) count as now.
//
// Loop thread only.
class DeviceRowModel {
 public:
  explicit DeviceRowModel(const nuv::Clock& clock);

  // Replaces the whole map.
  void update(const nuvclient::StackPayload& map);
  // Forgets every device (no map known).
  void clear();

  // The rows, ordered by name (ASCII case folded), then key; the age texts
  // are those of now.
  std::vector<DeviceRow> rows() const;
  std::size_t size() const { return devices_.size(); }
  bool empty() const { return devices_.empty(); }

  // How long until some row's age text changes, so the caller can wake up
  // exactly then; at most a minute, so a wall clock that jumps (suspend) is
  // caught up with soon. An empty model answers the cap.
  std::chrono::milliseconds untilAgeTextChanges() const;

  // "changed just now" under a minute, then "changed N min ago", "changed N
  // hour(s) ago" from an hour, "changed N day(s) ago" from a day; whole units,
  // rounded down. Negative ages count as 0. In the user's language, as are
  // the rows' texts.
  static std::string ageText(std::chrono::microseconds age);
  // The row of one map entry whose last change was at `changed`.
  static DeviceRow rowOf(const nuvclient::DeviceEntry& entry, nuv::Date changed, nuv::Date now);

  static constexpr std::chrono::milliseconds kMaxWait{60000};

 private:
  struct Known {
    nuvclient::DeviceEntry entry;
    nuv::Date changed;
  };

  const nuv::Clock& clock_;
  std::vector<Known> devices_;  // ordered by key
};

}  // namespace nuvdevices
