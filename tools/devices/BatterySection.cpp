#include "BatterySection.h"

#include <cstdio>

#include "client/DeviceStatus.h"

namespace nuvdevices {
namespace {

using nuvclient::DeviceEntry;
using nuvclient::DeviceStatus;

constexpr int kMaxCycles = 100000;
constexpr int kMaxPercent = 200;

std::optional<int> field(const DeviceEntry& entry, const char* key, int low, int high) {
  return DeviceStatus::wholeNumber(entry.field(key), low, high);
}

std::string charger(const DeviceEntry& entry) {
  const std::string* name = entry.field("ChargerName");
  const auto watts = field(entry, "ChargerWatts", 1, DeviceStatus::kMaxWatts);
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

std::vector<BatterySection::Item> BatterySection::items(const DeviceEntry& entry) {
  std::vector<Item> out;
  if (!DeviceStatus::trusted(entry)) return out;
  if (const auto percent = field(entry, "BatteryMaxCapacity", 1, kMaxPercent)) {
    out.push_back({"Maximum capacity", std::to_string(*percent) + "%"});
  }
  const auto full = field(entry, "BatteryFullChargeCapacity", 1, DeviceStatus::kMaxCapacityMah);
  const auto design = field(entry, "BatteryDesignCapacity", 1, DeviceStatus::kMaxCapacityMah);
  if (full && design) {
    out.push_back({"Capacity", grouped(*full) + " of " + grouped(*design) + " mAh"});
  } else if (full || design) {
    out.push_back({"Capacity", full ? grouped(*full) + " mAh at full charge"
                                    : grouped(*design) + " mAh when new"});
  }
  if (const auto cycles = field(entry, "BatteryCycleCount", 0, kMaxCycles)) {
    out.push_back({"Charge cycles", grouped(*cycles)});
  }
  if (const auto degrees = DeviceStatus::temperature(entry)) {
    out.push_back({"Temperature", std::to_string(*degrees) + " \u00b0C"});
  }
  if (const std::string text = charger(entry); !text.empty()) out.push_back({"Charger", text});
  if (const auto watts = field(entry, "ChargingWatts", 1, DeviceStatus::kMaxWatts)) {
    out.push_back({"Charging power", std::to_string(*watts) + " W"});
  }
  return out;
}

}  // namespace nuvdevices
