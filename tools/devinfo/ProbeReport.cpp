#include "ProbeReport.h"

#include <algorithm>
#include <cstdint>

#include "ProbeRotation.h"
#include "platform/Utf8.h"

namespace nuv {
namespace {

using Reported = std::vector<std::string>;

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

void appendLine(std::string& out, std::string_view key, std::string_view value) {
  out.append(key);
  out.push_back('\t');
  out.append(ProbeReport::sanitize(value));
  out.push_back('\n');
}

const char* flag(bool value) { return value ? "1" : "0"; }

void appendNumber(std::string& out, std::string_view key, const std::optional<std::int64_t>& v) {
  if (v) appendLine(out, key, std::to_string(*v));
}

void appendReading(std::string& out, const BatteryReading& r, bool unplugged) {
  appendNumber(out, "BatteryTemperature", r.temperature);
  appendNumber(out, "BatteryDesignCapacity", r.designCapacity);
  appendNumber(out, "BatteryFullChargeCapacity", r.fullChargeCapacity);
  if (unplugged) return;
  appendNumber(out, "ChargerWatts", r.chargerWatts);
  if (r.chargerName) appendLine(out, "ChargerName", *r.chargerName);
  if (r.chargerWireless) appendLine(out, "ChargerWireless", flag(*r.chargerWireless));
  appendNumber(out, "ChargingWatts", r.chargingWatts);
}

// Puts the ask for device `udid` on record in `state` at `now`, keeping the
// values it holds, unless a probe running beside this one has just asked
// (checked again under the lock). Records that are `stale` and whose device
// is not listed are forgotten. True once the ask is on record.
template <class State, class Due, class Stale>
bool claim(State& state, const std::string& udid, const std::vector<DeviceCandidate>& listed,
           std::int64_t now, Due due, Stale stale) {
  bool claimed = false;
  const bool written = state.update([&](auto records) {
    const auto found = records.find(udid);
    if (found != records.end() && !due(&found->second)) return records;
    auto record =
        found != records.end() ? found->second : typename decltype(records)::mapped_type{};
    std::erase_if(records, [&](const auto& r) {
      return stale(&r.second) && std::none_of(listed.begin(), listed.end(),
                                              [&](const auto& c) { return c.udid == r.first; });
    });
    record.askedAt = now;
    records[udid] = record;
    claimed = true;
    return records;
  });
  return written && claimed;
}

template <class Records>
const typename Records::mapped_type* recordOf(const Records& records, const std::string& udid) {
  const auto found = records.find(udid);
  return found == records.end() ? nullptr : &found->second;
}

std::optional<BatteryReading> keptReadingOf(const BatteryReadingRecord* record) {
  if (!record) return std::nullopt;
  return record->reading;
}

}  // namespace

std::string ProbeReport::sanitize(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t length = utf8SequenceLength(text.substr(i));
    if (length == 0) {
      out.append(kReplacement);
      ++i;
      continue;
    }
    if (length == 1) {
      const unsigned char c = static_cast<unsigned char>(text[i]);
      out.push_back(c < 0x20 || c == 0x7F ? ' ' : static_cast<char>(c));
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

std::string ProbeReport::format(const DeviceCandidate& device, const DeviceFacts& facts) {
  std::string out;
  appendLine(out, "Bonjour", device.udid);
  if (facts.name) appendLine(out, "name", *facts.name);
  if (facts.trusted) {
    if (facts.batteryLevel) appendLine(out, "Battery", std::to_string(*facts.batteryLevel));
    if (facts.charging) appendLine(out, "Charging", flag(*facts.charging));
  }
  appendLine(out, "Host Attached", flag(device.connection == DeviceConnection::Usb));
  if (facts.productType) appendLine(out, "ProductType", *facts.productType);
  if (facts.trusted) {
    if (facts.externalConnected)
      appendLine(out, "ExternalConnected", flag(*facts.externalConnected));
    if (facts.fullyCharged) appendLine(out, "FullyCharged", flag(*facts.fullyCharged));
    if (facts.health && facts.health->cycleCount)
      appendLine(out, "BatteryCycleCount", std::to_string(*facts.health->cycleCount));
    if (facts.health && facts.health->maxCapacity)
      appendLine(out, "BatteryMaxCapacity", std::to_string(*facts.health->maxCapacity));
    if (facts.reading) appendReading(out, *facts.reading, facts.externalConnected == false);
  }
  appendLine(out, "Trusted", flag(facts.trusted));
  return out;
}

int ProbeReport::run(DeviceFactsSource& source, const Memory& memory, std::ostream& out,
                     std::ostream& err) {
  std::string error;
  const auto listed = source.listDevices(&error);
  if (!listed) {
    err << "devInfo.NUVModule: " << sanitize(error) << '\n';
    return kUsbmuxdUnavailable;
  }
  const auto candidates =
      ProbeRotation::order(*listed, memory.rotation ? memory.rotation->load() : Reported{});
  const auto keptHealth = memory.health ? memory.health->load() : BatteryHealthRecords{};
  const auto keptReading = memory.reading ? memory.reading->load() : BatteryReadingRecords{};
  for (const auto& candidate : candidates) {
    const BatteryHealthRecord* health = recordOf(keptHealth, candidate.udid);
    const BatteryReadingRecord* reading = recordOf(keptReading, candidate.udid);
    bool askedHealth = false, askedReading = false;
    const auto askRelay = [&](const DeviceFacts& sofar) {
      const auto healthDue = [&](const BatteryHealthRecord* r) {
        return BatteryHealthState::due(r, memory.now);
      };
      const bool power = sofar.externalConnected.value_or(false);
      const auto readingDue = [&](const BatteryReadingRecord* r) {
        return BatteryReadingState::due(r, memory.now, power);
      };
      const auto readingStale = [&](const BatteryReadingRecord* r) {
        return BatteryReadingState::due(r, memory.now, false);
      };
      askedHealth =
          memory.health && healthDue(health) &&
          claim(*memory.health, candidate.udid, *listed, memory.now, healthDue, healthDue);
      askedReading =
          memory.reading && readingDue(reading) &&
          claim(*memory.reading, candidate.udid, *listed, memory.now, readingDue, readingStale);
      return askedHealth || askedReading;
    };
    error.clear();
    auto facts = source.readFacts(candidate, askRelay, &error);
    if (!facts) {
      err << "devInfo.NUVModule: " << sanitize(candidate.udid)
          << (candidate.connection == DeviceConnection::Usb ? " (USB)" : " (network)") << ": "
          << (error.empty() ? "cannot be read" : error) << '\n';
      continue;
    }
    if (!askedHealth || !facts->health) {
      facts->health.reset();
      if (health && !health->health.empty()) facts->health = health->health;
    } else {
      memory.health->update([&](BatteryHealthRecords records) {
        records[candidate.udid] = {memory.now, *facts->health};
        return records;
      });
    }
    if (askedReading) {
      memory.reading->update([&](BatteryReadingRecords records) {
        records[candidate.udid] = {memory.now, facts->reading.value_or(BatteryReading{})};
        return records;
      });
    } else {
      facts->reading = keptReadingOf(reading);
    }
    // Written in one piece so that a reader never sees half a report.
    out << format(candidate, *facts) << std::flush;
    if (memory.rotation) {
      memory.rotation->update([&](Reported reported) {
        return ProbeRotation::record(reported, candidate.udid, *listed);
      });
    }
    return 0;
  }
  return candidates.empty() ? 0 : 1;
}

}  // namespace nuv
