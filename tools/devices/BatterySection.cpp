#include "BatterySection.h"

#include <charconv>
#include <cstdio>

#include "client/DeviceStatus.h"

namespace nuvdevices {
namespace {

using nuvclient::DeviceEntry;
using nuvclient::DeviceStatus;

// The probe's bounds: what a battery can show.
constexpr int kMaxCapacityMah = 100000;
constexpr int kMaxWatts = 1000;
constexpr int kMaxCycles = 100000;
constexpr int kMaxPercent = 200;

// A whole decimal number (a minus sign allowed) within [low, high].
std::optional<int> wholeNumber(const std::string* text, int low, int high) {
  if (!text || text->empty() || (*text)[0] == '+') return std::nullopt;
  int value = 0;
  const char* end = text->data() + text->size();
  const auto [stop, error] = std::from_chars(text->data(), end, value);
  if (error != std::errc() || stop != end || value < low || value > high) return std::nullopt;
  return value;
}

std::optional<int> field(const DeviceEntry& entry, const char* key, int low, int high) {
  return wholeNumber(entry.field(key), low, high);
}

std::string charger(const DeviceEntry& entry) {
  const std::string* name = entry.field("ChargerName");
  const auto watts = field(entry, "ChargerWatts", 1, kMaxWatts);
  const auto wireless = DeviceStatus::flag(entry.field("ChargerWireless"));
  std::string text = name && !name->empty() ? DeviceStatus::displayText(*name) : "";
  const auto add = [&text](const std::string& part) {
    text += (text.empty() ? "" : " \u00b7 ") + part;
  };
  if (watts) add(std::to_string(*watts) + " W");
  if (wireless) add(*wireless ? "wireless" : "wired");
  if (!text.empty()) return text;
  const auto external = DeviceStatus::flag(entry.field("ExternalConnected"));
  if (!external) return "";
  return *external ? "Connected" : "Not connected";
}

}  // namespace

std::string BatterySection::grouped(int value) {
  char text[32];
  std::snprintf(text, sizeof text, "%'d", value);
  return text;
}

std::optional<int> BatterySection::temperature(const DeviceEntry& entry) {
  if (!DeviceStatus::trusted(entry)) return std::nullopt;
  return field(entry, "BatteryTemperature", -40, 100);
}

std::vector<BatterySection::Item> BatterySection::items(const DeviceEntry& entry) {
  std::vector<Item> out;
  if (!DeviceStatus::trusted(entry)) return out;
  if (const auto percent = field(entry, "BatteryMaxCapacity", 1, kMaxPercent)) {
    out.push_back({"Maximum capacity", std::to_string(*percent) + "%"});
  }
  const auto full = field(entry, "BatteryFullChargeCapacity", 1, kMaxCapacityMah);
  const auto design = field(entry, "BatteryDesignCapacity", 1, kMaxCapacityMah);
  if (full && design) {
    out.push_back({"Capacity", grouped(*full) + " of " + grouped(*design) + " mAh"});
  } else if (full || design) {
    out.push_back({"Capacity", full ? grouped(*full) + " mAh at full charge"
                                    : grouped(*design) + " mAh when new"});
  }
  if (const auto cycles = field(entry, "BatteryCycleCount", 0, kMaxCycles)) {
    out.push_back({"Charge cycles", grouped(*cycles)});
  }
  if (const auto degrees = temperature(entry)) {
    out.push_back({"Temperature", std::to_string(*degrees) + " \u00b0C"});
  }
  if (const std::string text = charger(entry); !text.empty()) out.push_back({"Charger", text});
  if (const auto watts = field(entry, "ChargingWatts", 1, kMaxWatts)) {
    out.push_back({"Charging power", std::to_string(*watts) + " W"});
  }
  return out;
}

}  // namespace nuvdevices
