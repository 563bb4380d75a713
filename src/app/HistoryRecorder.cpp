#include "app/HistoryRecorder.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "app/CloudRecordBridge.h"
#include "platform/Calendar.h"
#include "platform/Numbers.h"
#include "platform/RunLoop.h"

namespace nuv {
namespace {

// A whole number from 0 to INT32_MAX, all of the text; none otherwise.
std::optional<std::int32_t> count(const ProbeOutput& pairs, const char* key) {
  auto it = pairs.find(key);
  if (it == pairs.end()) return std::nullopt;
  const std::string& text = it->second;
  std::int32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

}  // namespace

HistoryRecorder::HistoryRecorder(RunLoop& loop, HistoryStore& store, const Calendar* calendar)
    : loop_(loop), store_(store), calendar_(calendar) {}

HistoryRecorder::~HistoryRecorder() {
  if (pruneTimer_) pruneTimer_->invalidate();
}

void HistoryRecorder::record(ModuleEvent event) { store_.addEvent({loop_.clock().now(), event}); }

void HistoryRecorder::moduleStarted() {
  record(ModuleEvent::Start);
  prune();
}

void HistoryRecorder::moduleStopping() {
  record(ModuleEvent::Stop);
  store_.flush(kFlushAtStop);
}

void HistoryRecorder::moduleSleeping() { record(ModuleEvent::Sleep); }

void HistoryRecorder::moduleWoke() { record(ModuleEvent::Wake); }

void HistoryRecorder::prune() {
  const Date now = loop_.clock().now();
  store_.pruneBefore(Date{now.time - kKept}, Date{now.time - kHealthKept});
  pruneTimer_ = loop_.scheduleTimer(kPruneInterval, [this] { prune(); });
}

void HistoryRecorder::mapBroadcast(const DeviceStatusMap& map) {
  for (const auto& [device, stored] : map) {
    const DeviceEntry& entry = stored;  // a binding cannot be captured before C++20 in clang 14
    auto value = [&entry](const char* key) -> std::optional<std::string_view> {
      auto it = entry.pairs.find(key);
      if (it == entry.pairs.end()) return std::nullopt;
      return std::string_view(it->second);
    };
    const Date time = entry.timestamp.value_or(loop_.clock().now());
    recordHealth(device, entry, time);
    const auto battery = value(kBatteryKey);
    if (!battery) continue;
    const BatterySample sample{
        time, static_cast<std::uint8_t>(std::clamp(saturatedInt32(*battery), 0, 100)),
        CloudRecordBridge::boolValue(value(kChargingKey)),
        CloudRecordBridge::boolValue(value(kExternalKey))};
    auto last = last_.find(device);
    if (last != last_.end() && last->second.level == sample.level &&
        last->second.charging == sample.charging && last->second.external == sample.external) {
      continue;
    }
    last_.insert_or_assign(device, sample);
    store_.addSample(device, std::string(value(kNameKey).value_or("")), sample);
  }
}

void HistoryRecorder::recordHealth(const std::string& device, const DeviceEntry& entry, Date time) {
  const HealthReading health{
      time, count(entry.pairs, kCycleCountKey), count(entry.pairs, kFullChargeCapacityKey),
      count(entry.pairs, kDesignCapacityKey), count(entry.pairs, kMaxCapacityKey)};
  if (!health.cycleCount && !health.fullChargeCapacity && !health.designCapacity &&
      !health.maxCapacity) {
    return;
  }
  const auto day =
      calendar_ ? calendar_->dayOf(time) : std::chrono::floor<std::chrono::days>(time.time);
  auto last = lastHealth_.find(device);
  if (last != lastHealth_.end() && last->second.day == day &&
      last->second.health.sameValues(health)) {
    return;
  }
  lastHealth_.insert_or_assign(device, StoredHealth{day, health});
  auto name = entry.pairs.find(kNameKey);
  store_.addHealth(device, name == entry.pairs.end() ? std::string() : name->second, day, health);
}

void HistoryRecorder::readHealth(const std::string& device, Date since,
                                 std::function<void(std::vector<HealthReading>)> reply) {
  store_.readHealth(device, since, std::move(reply));
}

void HistoryRecorder::readHistory(const std::string& device, Date since,
                                  std::function<void(DeviceHistory)> reply) {
  store_.read(device, since,
              [clock = &loop_.clock(), since, reply = std::move(reply)](HistoryStore::Stored s) {
                auto gapList = gaps(s, since, clock->now());
                reply({std::move(s.samples), std::move(gapList)});
              });
}

void HistoryRecorder::readDevices(Date since,
                                  std::function<void(std::vector<HistoryDevice>)> reply) {
  store_.readDevices(since, std::move(reply));
}

std::vector<HistoryGap> HistoryRecorder::gaps(const HistoryStore::Stored& stored, Date since,
                                              Date now) {
  std::vector<HistoryGap> found;
  std::optional<Date> open;      // a stop or sleep not followed by a start or wake yet
  std::optional<Date> watching;  // the last event of a watching process
  for (const auto& [time, event] : stored.events) {
    if (event == ModuleEvent::Stop || event == ModuleEvent::Sleep) {
      if (!open) open = time;
      watching.reset();
      continue;
    }
    if (open) {
      found.push_back({*open, time});
      open.reset();
    } else if (event == ModuleEvent::Start && watching) {
      Date lastSeen = *watching;
      for (const auto& sample : stored.samples) {
        if (sample.time < time) lastSeen = std::max(lastSeen, sample.time);
      }
      found.push_back({lastSeen, time});
    }
    watching = time;
  }
  if (open) found.push_back({*open, now});
  std::vector<HistoryGap> clipped;
  for (auto gap : found) {
    gap.start = std::max(gap.start, since);
    gap.end = std::min(gap.end, now);
    if (gap.start < gap.end) clipped.push_back(gap);
  }
  return clipped;
}

}  // namespace nuv
