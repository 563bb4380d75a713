#include "DeviceStatus.h"

#include <algorithm>

#include "platform/Utf8.h"

namespace nuvclient {
namespace {

// Decimal digits only, at most nine of them.
std::optional<int> number(const std::string* text) {
  if (!text || text->empty() || text->size() > 9) return std::nullopt;
  if (!std::all_of(text->begin(), text->end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  return std::stoi(*text);
}

}  // namespace

std::string DeviceStatus::displayText(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const std::size_t n = nuv::utf8SequenceLength(text);
    const auto lead = static_cast<unsigned char>(text[0]);
    // C0 and DEL, a bad byte, or a C1 control (U+0080-U+009F: C2 80-C2 9F).
    const bool control =
        n == 1 ? lead < 0x20 || lead == 0x7F
               : n == 0 || (lead == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0);
    if (control) {
      out.push_back('?');
    } else {
      out.append(text.substr(0, n));
    }
    text.remove_prefix(n ? n : 1);
  }
  return out;
}

std::optional<bool> DeviceStatus::flag(const std::string* value) {
  if (!value) return std::nullopt;
  if (*value == "1" || *value == "true" || *value == "YES" || *value == "yes") return true;
  if (*value == "0" || *value == "false" || *value == "NO" || *value == "no") return false;
  return std::nullopt;
}

std::optional<int> DeviceStatus::batteryLevel(const std::string* level) {
  const auto value = number(level);
  if (!value) return std::nullopt;
  return std::min(*value, 100);
}

std::string DeviceStatus::name(const DeviceEntry& entry) {
  const std::string* name = entry.field("name");
  return displayText(name && !name->empty() ? *name : entry.key);
}

bool DeviceStatus::trusted(const DeviceEntry& entry) {
  return flag(entry.field("Trusted")).value_or(true);
}

std::optional<int> DeviceStatus::battery(const DeviceEntry& entry) {
  return trusted(entry) ? batteryLevel(entry.field("Battery")) : std::nullopt;
}

bool DeviceStatus::charging(const DeviceEntry& entry) {
  return trusted(entry) && flag(entry.field("Charging")).value_or(false);
}

bool DeviceStatus::attached(const DeviceEntry& entry) {
  return flag(entry.field("Host Attached")).value_or(false);
}

std::string DeviceStatus::batteryText(const DeviceEntry& entry) {
  if (!trusted(entry)) return "Unlock and trust this computer";
  const auto level = battery(entry);
  return level ? std::to_string(*level) + "%" : "Battery unknown";
}

std::string DeviceStatus::attachedText(const DeviceEntry& entry) {
  return attached(entry) ? "Attached by USB" : "Not attached";
}

std::string DeviceStatus::summary(const DeviceEntry& entry) {
  std::string out = batteryText(entry);
  if (charging(entry)) out += ", charging";
  return out + (attached(entry) ? ", attached by USB" : ", not attached");
}

std::string DeviceStatus::healthText(const DeviceEntry& entry) {
  const auto cycles = number(entry.field("BatteryCycleCount"));
  const auto capacity = number(entry.field("BatteryMaxCapacity"));
  std::string out;
  if (cycles) out = std::to_string(*cycles) + (*cycles == 1 ? " cycle" : " cycles");
  if (cycles && capacity) out += ", ";
  if (capacity) out += std::to_string(*capacity) + "% of design capacity";
  return out;
}

std::string DeviceStatus::healthLine(const DeviceEntry& entry) {
  std::string out;
  if (const std::string* cycles = entry.field("BatteryCycleCount")) {
    out = "Charge cycles: " + *cycles;
  }
  if (const std::string* capacity = entry.field("BatteryMaxCapacity")) {
    out += (out.empty() ? "" : " \u00b7 ") + std::string("Maximum capacity: ") + *capacity + "%";
  }
  return out;
}

}  // namespace nuvclient
