#include "BatteryRegistryEntry.h"

#include "PlistValues.h"

namespace nuv {
namespace {

// A positive integer property of the entry, or of its "BatteryData" copy. A
// zero reads as missing: the gauge has no value yet.
std::optional<std::int64_t> property(plist_t entry, const char* key) {
  for (plist_t dict : {entry, plistv::item(entry, "BatteryData")}) {
    const auto value = plistv::integerValue(plistv::item(dict, key));
    if (value && *value > 0) return value;
  }
  return std::nullopt;
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
  const plist_t entry = plistv::item(diagnostics, "IORegistry");
  if (!entry || plist_get_node_type(entry) != PLIST_DICT) return std::nullopt;
  BatteryHealth health;
  health.cycleCount = plistv::integerValue(plistv::item(entry, "CycleCount"));
  if (!health.cycleCount) {
    health.cycleCount =
        plistv::integerValue(plistv::item(plistv::item(entry, "BatteryData"), "CycleCount"));
  }
  auto full = property(entry, "NominalChargeCapacity");
  if (!full) full = property(entry, "AppleRawMaxCapacity");
  const auto design = property(entry, "DesignCapacity");
  if (full && design) health.maxCapacity = percentOf(*full, *design);
  if (health.empty()) return std::nullopt;
  return health;
}

}  // namespace nuv
