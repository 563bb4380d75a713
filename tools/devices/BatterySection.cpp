#include "BatterySection.h"

#include <glib/gi18n.h>

#include "client/DeviceStatus.h"
#include "platform/linux/runtime/LocaleText.h"

namespace nuvdevices {
namespace {

using nuv::linux_backend::LocaleText;
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
  if (watts) add(LocaleText::format("%'d W", *watts));
  if (wireless) add(*wireless ? C_("charger", "wireless") : C_("charger", "wired"));
  if (!text.empty()) return text;
  const auto external = DeviceStatus::flag(entry.field("ExternalConnected"));
  if (!external) return "";
  return *external ? C_("charger", "Connected") : C_("charger", "Not connected");
}

}  // namespace

std::vector<BatterySection::Item> BatterySection::items(const DeviceEntry& entry) {
  std::vector<Item> out;
  if (!DeviceStatus::trusted(entry)) return out;
  if (const auto percent = field(entry, "BatteryMaxCapacity", 1, kMaxPercent)) {
    out.push_back({_("Maximum capacity"), DeviceStatus::percentText(*percent)});
  }
  const auto full = field(entry, "BatteryFullChargeCapacity", 1, DeviceStatus::kMaxCapacityMah);
  const auto design = field(entry, "BatteryDesignCapacity", 1, DeviceStatus::kMaxCapacityMah);
  if (full && design) {
    out.push_back({_("Capacity"),
                   // TRANSLATORS: the capacity at full charge now, of the capacity when new.
                   LocaleText::format(_("%'d of %'d mAh"), *full, *design)});
  } else if (full) {
    out.push_back({_("Capacity"), LocaleText::format(_("%'d mAh at full charge"), *full)});
  } else if (design) {
    out.push_back({_("Capacity"), LocaleText::format(_("%'d mAh when new"), *design)});
  }
  if (const auto cycles = field(entry, "BatteryCycleCount", 0, kMaxCycles)) {
    out.push_back({_("Charge cycles"), LocaleText::format("%'d", *cycles)});
  }
  if (const auto degrees = DeviceStatus::temperature(entry)) {
    out.push_back({_("Temperature"), LocaleText::format(_("%d \u00b0C"), *degrees)});
  }
  if (const std::string text = charger(entry); !text.empty()) out.push_back({_("Charger"), text});
  if (const auto watts = field(entry, "ChargingWatts", 1, DeviceStatus::kMaxWatts)) {
    out.push_back({_("Charging power"), LocaleText::format("%'d W", *watts)});
  }
  return out;
}

}  // namespace nuvdevices
