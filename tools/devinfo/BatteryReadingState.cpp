#include "BatteryReadingState.h"

#include <charconv>
#include <optional>
#include <string_view>

#include "ProbeStateFolder.h"

namespace nuv {
namespace {

constexpr std::string_view kHeader = "nuv-probe-reading 1";

using Number = std::optional<std::int64_t> BatteryReading::*;
constexpr std::pair<std::string_view, Number> kNumbers[] = {
    {"t", &BatteryReading::temperature},
    {"d", &BatteryReading::designCapacity},
    {"f", &BatteryReading::fullChargeCapacity},
    {"cw", &BatteryReading::chargerWatts},
    {"pw", &BatteryReading::chargingWatts}};

bool parseNumber(std::string_view text, std::int64_t* value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

// One "key=value" word into `reading`; false when it is malformed.
bool parseWord(std::string_view word, BatteryReading* reading) {
  const auto equals = word.find('=');
  if (equals == std::string_view::npos) return false;
  const std::string_view key = word.substr(0, equals), value = word.substr(equals + 1);
  for (const auto& [name, member] : kNumbers) {
    if (key != name) continue;
    std::int64_t number = 0;
    if (!parseNumber(value, &number)) return false;
    reading->*member = number;
    return true;
  }
  if (key == "cl") {
    if (value != "0" && value != "1") return false;
    reading->chargerWireless = value == "1";
  } else if (key == "cn") {
    std::string name;
    if (!ProbeStateFolder::unescape(value, &name)) return false;
    reading->chargerName = std::move(name);
  }
  return true;  // a key of a later version
}

bool parseLine(std::string_view line, std::string* udid, BatteryReadingRecord* record) {
  for (int i = 0; !line.empty() || i < 2; ++i) {
    const auto space = line.find(' ');
    const std::string_view word = line.substr(0, space);
    line.remove_prefix(space == std::string_view::npos ? line.size() : space + 1);
    const bool ok = i == 0   ? ProbeStateFolder::unescape(word, udid)
                    : i == 1 ? parseNumber(word, &record->askedAt) && record->askedAt >= 0
                             : parseWord(word, &record->reading);
    if (!ok) return false;
  }
  return true;
}

BatteryReadingRecords parse(std::string_view text) {
  if (text.empty() || text.back() != '\n') return {};  // cut short
  const auto first = text.find('\n');
  if (text.substr(0, first) != kHeader) return {};
  text.remove_prefix(first + 1);
  BatteryReadingRecords out;
  while (!text.empty()) {
    const auto end = text.find('\n');  // found: the text ends with one
    std::string udid;
    BatteryReadingRecord record;
    if (!parseLine(text.substr(0, end), &udid, &record)) return {};
    out[udid] = record;
    text.remove_prefix(end + 1);
  }
  return out;
}

std::string line(const std::string& udid, const BatteryReadingRecord& record) {
  std::string out = ProbeStateFolder::escape(udid) + " " + std::to_string(record.askedAt);
  const BatteryReading& r = record.reading;
  for (const auto& [name, member] : kNumbers) {
    if (r.*member) out += " " + std::string(name) + "=" + std::to_string(*(r.*member));
  }
  if (r.chargerName && !r.chargerName->empty()) {
    out += " cn=" + ProbeStateFolder::escape(*r.chargerName);
  }
  if (r.chargerWireless) out += *r.chargerWireless ? " cl=1" : " cl=0";
  return out + "\n";
}

}  // namespace

BatteryReadingState::BatteryReadingState(std::string directory)
    : directory_(std::move(directory)) {}

BatteryReadingRecords BatteryReadingState::load() const {
  const auto text = ProbeStateFolder::read(directory_, kFileName);
  return text ? parse(*text) : BatteryReadingRecords{};
}

bool BatteryReadingState::update(
    const std::function<BatteryReadingRecords(BatteryReadingRecords)>& change) {
  return ProbeStateFolder::rewrite(directory_, kFileName, [&] {
    std::string text = std::string(kHeader) + "\n";
    for (const auto& [udid, record] : change(load())) text += line(udid, record);
    return text;
  });
}

bool BatteryReadingState::due(const BatteryReadingRecord* record, std::int64_t now,
                              bool externalPower) {
  const std::int64_t interval = externalPower ? kOnPowerInterval : kOnBatteryInterval;
  return !record || now < record->askedAt || now - record->askedAt >= interval;
}

}  // namespace nuv
