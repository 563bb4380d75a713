#include "ProbeReport.h"

#include <algorithm>
#include <cstdint>

#include "ProbeRotation.h"

namespace nuv {
namespace {

using Reported = std::vector<std::string>;

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Length of the well-formed UTF-8 sequence at the start of `s`, or 0 when it
// is not one (stray continuation byte, overlong form, surrogate, beyond
// U+10FFFF, truncated).
std::size_t validSequenceLength(std::string_view s) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = b(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) lo = 0xA0;  // overlong
    if (lead == 0xED) hi = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) lo = 0x90;  // overlong
    if (lead == 0xF4) hi = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  if (b(1) < lo || b(1) > hi) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (b(i) < 0x80 || b(i) > 0xBF) return 0;
  }
  return length;
}

void appendLine(std::string& out, std::string_view key, std::string_view value) {
  out.append(key);
  out.push_back('\t');
  out.append(ProbeReport::sanitize(value));
  out.push_back('\n');
}

const char* flag(bool value) { return value ? "1" : "0"; }

}  // namespace

std::string ProbeReport::sanitize(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t length = validSequenceLength(text.substr(i));
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
  const auto kept = memory.health ? memory.health->load() : BatteryHealthRecords{};
  for (const auto& candidate : candidates) {
    const auto found = kept.find(candidate.udid);
    const BatteryHealthRecord* record = found == kept.end() ? nullptr : &found->second;
    bool asked = false;
    const auto askHealth = [&] {
      if (!memory.health || !BatteryHealthState::due(record, memory.now)) return false;
      // On record first, with the kept values, and checked again under the
      // lock: a probe running beside this one may have just asked. Devices
      // gone for a day are forgotten.
      bool claimed = false;
      const bool written = memory.health->update([&](BatteryHealthRecords records) {
        const auto now = records.find(candidate.udid);
        if (now != records.end() && !BatteryHealthState::due(&now->second, memory.now)) {
          return records;
        }
        const BatteryHealth keep = now != records.end() ? now->second.health : BatteryHealth{};
        std::erase_if(records, [&](const auto& r) {
          return BatteryHealthState::due(&r.second, memory.now) &&
                 std::none_of(listed->begin(), listed->end(),
                              [&](const DeviceCandidate& c) { return c.udid == r.first; });
        });
        records[candidate.udid] = {memory.now, keep};
        claimed = true;
        return records;
      });
      asked = written && claimed;
      return asked;
    };
    error.clear();
    auto facts = source.readFacts(candidate, askHealth, &error);
    if (!facts) {
      err << "devInfo.NUVModule: " << sanitize(candidate.udid)
          << (candidate.connection == DeviceConnection::Usb ? " (USB)" : " (network)") << ": "
          << (error.empty() ? "cannot be read" : error) << '\n';
      continue;
    }
    if (!asked || !facts->health) {
      facts->health.reset();
      if (record && !record->health.empty()) facts->health = record->health;
    } else {
      memory.health->update([&](BatteryHealthRecords records) {
        records[candidate.udid] = {memory.now, *facts->health};
        return records;
      });
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
