#include "BatteryRegistryEntry.h"

#include "PlistValues.h"

namespace nuv {
namespace {

using plistv::item;
using plistv::signedValue;

// A positive integer property of the entry, or of its "BatteryData" copy. A
// zero reads as missing: the gauge has no value yet.
std::optional<std::int64_t> property(plist_t entry, const char* key) {
  for (plist_t dict : {entry, item(entry, "BatteryData")}) {
    const auto value = plistv::integerValue(item(dict, key));
    if (value && *value > 0) return value;
  }
  return std::nullopt;
}

std::optional<std::int64_t> fullChargeCapacity(plist_t entry) {
  const auto full = property(entry, "NominalChargeCapacity");
  return full ? full : property(entry, "AppleRawMaxCapacity");
}

std::optional<std::int64_t> atMost(std::optional<std::int64_t> value, std::int64_t limit) {
  return value && *value <= limit ? value : std::nullopt;
}

// `value` / `unit`, rounded half away from zero.
std::int64_t rounded(std::int64_t value, std::int64_t unit) {
  return value >= 0 ? (value + unit / 2) / unit : -((-value + unit / 2) / unit);
}

// A flag the registry keeps as a boolean or as 0/1; none when it is neither.
std::optional<bool> flagValue(plist_t node) {
  if (const auto flag = plistv::boolValue(node)) return flag;
  const auto number = plistv::integerValue(node);
  if (number && *number <= 1) return *number == 1;
  return std::nullopt;
}

// The entry's properties; nullptr when the answer holds none.
plist_t entryOf(plist_t diagnostics) {
  const plist_t entry = item(diagnostics, "IORegistry");
  return entry && plist_get_node_type(entry) == PLIST_DICT ? entry : nullptr;
}

}  // namespace

std::optional<std::int64_t> BatteryRegistryEntry::percentOf(std::int64_t full,
                                                            std::int64_t design) {
  // Readings beyond a million Ah or 1000 % come from garbage or another
  // unit, not from a battery; the bounds also keep the sum in range.
  constexpr std::int64_t kAbsurd = 1'000'000'000;
  if (design <= 0 || full < 0 || full > kAbsurd || design > kAbsurd || full / 10 > design) {
    return std::nullopt;
  }
  return (full * 100 + design / 2) / design;
}

std::optional<BatteryHealth> BatteryRegistryEntry::health(plist_t diagnostics) {
  const plist_t entry = entryOf(diagnostics);
  if (!entry) return std::nullopt;
  BatteryHealth health;
  health.cycleCount = plistv::integerValue(item(entry, "CycleCount"));
  if (!health.cycleCount) {
    health.cycleCount = plistv::integerValue(item(item(entry, "BatteryData"), "CycleCount"));
  }
  const auto full = fullChargeCapacity(entry);
  const auto design = property(entry, "DesignCapacity");
  if (full && design) health.maxCapacity = percentOf(*full, *design);
  if (health.empty()) return std::nullopt;
  return health;
}

std::optional<std::string> BatteryRegistryEntry::chargerName(std::string_view name) {
  if (name.empty() || name.size() > kMaxChargerNameBytes) return std::nullopt;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    const bool c1 = c == 0xC2 && i + 1 < name.size() &&
                    static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(name[i + 1]) <= 0x9F;  // U+0080..U+009F
    if (c < 0x20 || c == 0x7F || c1) return std::nullopt;
  }
  return std::string(name);
}

std::optional<BatteryReading> BatteryRegistryEntry::reading(plist_t diagnostics) {
  const plist_t entry = entryOf(diagnostics);
  if (!entry) return std::nullopt;
  BatteryReading r;
  // Zero hundredths reads as missing, as for the capacities: a gauge
  // without a value, far likelier than a battery at exactly 0.00 degrees.
  const auto centidegrees = signedValue(item(entry, "Temperature"));
  if (centidegrees && *centidegrees != 0 && *centidegrees >= kMinCentidegrees &&
      *centidegrees <= kMaxCentidegrees) {
    r.temperature = rounded(*centidegrees, 100);
  }
  r.designCapacity = atMost(property(entry, "DesignCapacity"), kMaxCapacityMah);
  r.fullChargeCapacity = atMost(fullChargeCapacity(entry), kMaxCapacityMah);

  const plist_t adapter = item(entry, "AdapterDetails");
  if (plistv::boolValue(item(entry, "ExternalConnected")).value_or(false) && adapter &&
      plist_get_node_type(adapter) == PLIST_DICT) {
    const auto watts = signedValue(item(adapter, "Watts"));
    if (watts && *watts > 0) r.chargerWatts = atMost(watts, kMaxWatts);
    if (const auto name = plistv::stringValue(item(adapter, "Description"))) {
      r.chargerName = chargerName(*name);
    }
    // Only wireless chargers say so.
    const plist_t wireless = item(adapter, "IsWireless");
    r.chargerWireless = wireless ? flagValue(wireless) : false;
  }

  // Up to 100 V and 10,000 A keeps the product in range; the result is
  // bounded by kMaxWatts.
  const auto millivolts = signedValue(item(entry, "Voltage"));
  const auto milliamps = signedValue(item(entry, "InstantAmperage"));
  if (millivolts && milliamps && *millivolts > 0 && *millivolts <= 100'000 && *milliamps > 0 &&
      *milliamps <= 10'000'000) {
    r.chargingWatts = atMost(rounded(*millivolts * *milliamps, 1'000'000), kMaxWatts);
  }
  if (r == BatteryReading{}) return std::nullopt;
  return r;
}

}  // namespace nuv
