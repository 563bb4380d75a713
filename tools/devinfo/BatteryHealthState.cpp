#include "BatteryHealthState.h"

#include <charconv>
#include <optional>
#include <string_view>

#include "ProbeStateFolder.h"

namespace nuv {
namespace {

constexpr std::string_view kHeader = "nuv-probe-health 1";

std::string field(const std::optional<std::int64_t>& value) {
  return value ? std::to_string(*value) : "-";
}

bool parseNumber(std::string_view text, std::int64_t* value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size() && *value >= 0;
}

bool parseField(std::string_view text, std::optional<std::int64_t>* value) {
  if (text == "-") return true;
  std::int64_t number = 0;
  if (!parseNumber(text, &number)) return false;
  *value = number;
  return true;
}

// Splits "a b c d" into exactly four words separated by single spaces.
bool words(std::string_view line, std::string_view (&out)[4]) {
  for (std::size_t i = 0; i < 4; ++i) {
    const auto space = line.find(' ');
    if ((space == std::string_view::npos) != (i == 3)) return false;
    out[i] = line.substr(0, space);
    if (out[i].empty()) return false;
    if (i < 3) line.remove_prefix(space + 1);
  }
  return true;
}

BatteryHealthRecords parse(std::string_view text) {
  if (text.empty() || text.back() != '\n') return {};  // cut short
  BatteryHealthRecords out;
  bool first = true;
  while (!text.empty()) {
    const auto end = text.find('\n');  // found: the text ends with one
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (first) {
      if (line != kHeader) return {};
      first = false;
      continue;
    }
    std::string_view w[4];
    std::string udid;
    BatteryHealthRecord record;
    if (!words(line, w) || !ProbeStateFolder::unescape(w[0], &udid) ||
        !parseNumber(w[1], &record.askedAt) || !parseField(w[2], &record.health.cycleCount) ||
        !parseField(w[3], &record.health.maxCapacity)) {
      return {};
    }
    out[udid] = record;
  }
  return out;
}

}  // namespace

BatteryHealthState::BatteryHealthState(std::string directory) : directory_(std::move(directory)) {}

BatteryHealthRecords BatteryHealthState::load() const {
  const auto text = ProbeStateFolder::read(directory_, kFileName);
  return text ? parse(*text) : BatteryHealthRecords{};
}

bool BatteryHealthState::update(
    const std::function<BatteryHealthRecords(BatteryHealthRecords)>& change) {
  return ProbeStateFolder::rewrite(directory_, kFileName, [&] {
    std::string text = std::string(kHeader) + "\n";
    for (const auto& [udid, record] : change(load())) {
      text += ProbeStateFolder::escape(udid) + " " + std::to_string(record.askedAt) + " " +
              field(record.health.cycleCount) + " " + field(record.health.maxCapacity) + "\n";
    }
    return text;
  });
}

bool BatteryHealthState::due(const BatteryHealthRecord* record, std::int64_t now) {
  return !record || now < record->askedAt || now - record->askedAt >= kAskInterval;
}

}  // namespace nuv
