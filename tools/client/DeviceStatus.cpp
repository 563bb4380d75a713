#include "DeviceStatus.h"

#include <glib/gi18n.h>

#include <algorithm>

#include "platform/Utf8.h"
#include "platform/linux/runtime/LocaleText.h"

namespace nuvclient {

using nuv::linux_backend::LocaleText;

namespace {

// Digits only, at most nine of them: always within int.
std::optional<int> digits(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  int value = 0;
  for (char c : text) value = value * 10 + (c - '0');
  return value;
}

// Any count the probe prints: cycles, percentages.
std::optional<int> count(const std::string* text) {
  return DeviceStatus::wholeNumber(text, 0, 999'999'999);
}

constexpr int kSlowChargerWatts = 5;

}  // namespace

// What a trusted device says of its power; see powerParts.
struct DeviceStatus::Power {
  ChargeState state = ChargeState::Unknown;
  std::optional<int> chargingWatts;
  std::optional<int> chargerWatts;
  bool wireless = false;
  std::optional<int> degrees;
};

DeviceStatus::Power DeviceStatus::powerOf(const DeviceEntry& entry) {
  Power power;
  if (!trusted(entry)) return power;
  power.chargerWatts = wholeNumber(entry.field("ChargerWatts"), 1, kMaxWatts);
  power.chargingWatts = wholeNumber(entry.field("ChargingWatts"), 1, kMaxWatts);
  const auto wireless = flag(entry.field("ChargerWireless"));
  power.wireless = wireless.value_or(false);
  power.degrees = temperature(entry);
  // Without the charger keys, ExternalConnected alone keeps today's wording.
  const bool onCharger = power.chargerWatts || wireless || entry.field("ChargerName");
  if (charging(entry)) {
    const bool slow =
        power.chargerWatts && *power.chargerWatts <= kSlowChargerWatts && !power.wireless;
    power.state = slow ? ChargeState::ChargingSlowly : ChargeState::Charging;
  } else if (onCharger) {
    const bool full = flag(entry.field("FullyCharged")).value_or(battery(entry) == 100);
    power.state = full ? ChargeState::Full : ChargeState::NotCharging;
  }
  return power;
}

// The states twice: alone or first ("Charging at 12 W · 20 W charger") and
// within the one-line summary ("85%, charging at 12 W, attached by USB").
std::string DeviceStatus::stateText(const Power& power, bool inSentence) {
  const int watts = power.chargingWatts.value_or(0);
  switch (power.state) {
    case ChargeState::Charging:
      if (power.chargingWatts) {
        // TRANSLATORS: %d is the power going into the battery, in watts.
        return LocaleText::format(inSentence ? _("charging at %d W") : _("Charging at %d W"),
                                  watts);
      }
      return inSentence ? _("charging") : _("Charging");
    case ChargeState::ChargingSlowly:
      if (power.chargingWatts) {
        return LocaleText::format(
            // TRANSLATORS: charging from a weak charger (5 W or less).
            inSentence ? _("charging slowly at %d W") : _("Charging slowly at %d W"), watts);
      }
      return inSentence ? _("charging slowly") : _("Charging slowly");
    case ChargeState::Full:
      return inSentence ? _("fully charged") : _("Fully charged");
    case ChargeState::NotCharging:
      // TRANSLATORS: on a charger, but not charging.
      return inSentence ? _("not charging") : _("Not charging");
    case ChargeState::Unknown:
      break;
  }
  return "";
}

// The charger and the temperature, the same alone and within a sentence.
std::vector<std::string> DeviceStatus::detailTexts(const Power& power) {
  std::vector<std::string> parts;
  if (power.chargerWatts) {
    parts.push_back(LocaleText::format(
        // TRANSLATORS: %d is what the charger offers, in watts.
        power.wireless ? _("%d W wireless charger") : _("%d W charger"), *power.chargerWatts));
  }
  // TRANSLATORS: the battery's temperature in degrees Celsius.
  if (power.degrees) parts.push_back(LocaleText::format(_("%d \u00b0C"), *power.degrees));
  return parts;
}

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

std::optional<int> DeviceStatus::wholeNumber(const std::string* text, int low, int high) {
  if (!text) return std::nullopt;
  std::string_view rest = *text;
  const bool negative = low < 0 && !rest.empty() && rest.front() == '-';
  if (negative) rest.remove_prefix(1);
  auto value = digits(rest);
  if (!value) return std::nullopt;
  if (negative) *value = -*value;
  if (*value < low || *value > high) return std::nullopt;
  return value;
}

std::optional<int> DeviceStatus::temperature(const DeviceEntry& entry) {
  if (!trusted(entry)) return std::nullopt;
  return wholeNumber(entry.field("BatteryTemperature"), kMinTemperature, kMaxTemperature);
}

std::optional<bool> DeviceStatus::flag(const std::string* value) {
  if (!value) return std::nullopt;
  if (*value == "1" || *value == "true" || *value == "YES" || *value == "yes") return true;
  if (*value == "0" || *value == "false" || *value == "NO" || *value == "no") return false;
  return std::nullopt;
}

std::optional<int> DeviceStatus::batteryLevel(const std::string* level) {
  const auto value = count(level);
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

std::string DeviceStatus::percentText(int percent) {
  // TRANSLATORS: a percentage ("85%"), as the locale writes one.
  return LocaleText::format(_("%d%%"), percent);
}

std::string DeviceStatus::batteryText(const DeviceEntry& entry) {
  if (!trusted(entry)) return _("Unlock and trust this computer");
  const auto level = battery(entry);
  return level ? percentText(*level) : _("Battery unknown");
}

std::string DeviceStatus::attachedText(const DeviceEntry& entry) {
  return attached(entry) ? _("Attached by USB") : _("Not attached");
}

std::string DeviceStatus::summary(const DeviceEntry& entry) {
  const Power power = powerOf(entry);
  std::string out = batteryText(entry);
  if (power.state != ChargeState::Unknown) out += ", " + stateText(power, /*inSentence=*/true);
  for (const auto& part : detailTexts(power)) out += ", " + part;
  // TRANSLATORS: the end of a device's one-line summary ("85%, charging,
  // attached by USB").
  return out + ", " + (attached(entry) ? _("attached by USB") : _("not attached"));
}

std::vector<std::string> DeviceStatus::powerParts(const DeviceEntry& entry) {
  const Power power = powerOf(entry);
  std::vector<std::string> parts;
  if (power.state != ChargeState::Unknown) parts.push_back(stateText(power, false));
  for (auto& part : detailTexts(power)) parts.push_back(std::move(part));
  return parts;
}

std::string DeviceStatus::powerText(const DeviceEntry& entry) {
  const Power power = powerOf(entry);
  // A bare "Charging" says no more than `charging`.
  if (power.state == ChargeState::Charging && !power.chargingWatts && !power.chargerWatts &&
      !power.degrees) {
    return "";
  }
  std::string out;
  for (const auto& part : powerParts(entry)) out += (out.empty() ? "" : " \u00b7 ") + part;
  return out;
}

std::string DeviceStatus::healthText(const DeviceEntry& entry) {
  const auto cycles = count(entry.field("BatteryCycleCount"));
  const auto capacity = count(entry.field("BatteryMaxCapacity"));
  if (cycles && capacity) {
    // TRANSLATORS: a battery's health: charge cycles, and its full-charge
    // capacity in percent of the capacity it had when new.
    return LocaleText::format(ngettext("%'d cycle, %d%% of design capacity",
                                       "%'d cycles, %d%% of design capacity", *cycles),
                              *cycles, *capacity);
  }
  if (cycles) return LocaleText::format(ngettext("%'d cycle", "%'d cycles", *cycles), *cycles);
  if (capacity) return LocaleText::format(_("%d%% of design capacity"), *capacity);
  return "";
}

}  // namespace nuvclient
