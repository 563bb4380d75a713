#include "DeviceRowModel.h"

#include <algorithm>
#include <cctype>

#include "WatchView.h"

namespace nuvdevices {
namespace {

using std::chrono::days;
using std::chrono::hours;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::minutes;

microseconds between(nuv::Date from, nuv::Date to) {
  return std::max(to.time - from.time, microseconds::zero());
}

std::string counted(long long n, const char* one, const char* many) {
  return "changed " + std::to_string(n) + " " + (n == 1 ? one : many) + " ago";
}

DeviceKind kindOf(const std::string* productType) {
  if (!productType) return DeviceKind::Other;
  const auto startsWith = [&](const char* prefix) { return productType->rfind(prefix, 0) == 0; };
  if (startsWith("iPhone")) return DeviceKind::Phone;
  if (startsWith("iPad")) return DeviceKind::Tablet;
  if (startsWith("iPod")) return DeviceKind::Player;
  return DeviceKind::Other;
}

std::string folded(const std::string& text) {
  std::string out = text;
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

}  // namespace

DeviceRowModel::DeviceRowModel(const nuv::Clock& clock) : clock_(clock) {}

void DeviceRowModel::update(const nuvctl::StackPayload& map) {
  const nuv::Date now = clock_.now();
  std::vector<Known> next;
  next.reserve(map.devices.size());
  auto old = devices_.begin();
  for (const auto& entry : map.devices) {  // both ordered by key
    while (old != devices_.end() && old->entry.key < entry.key) ++old;
    const bool seen = old != devices_.end() && old->entry.key == entry.key;
    nuv::Date changed = now;
    if (entry.timestamp) {
      changed = std::min(*entry.timestamp, now);
    } else if (seen && old->entry.fields == entry.fields) {
      changed = old->changed;
    }
    next.push_back(Known{entry, changed});
  }
  devices_ = std::move(next);
}

void DeviceRowModel::clear() { devices_.clear(); }

std::vector<DeviceRow> DeviceRowModel::rows() const {
  const nuv::Date now = clock_.now();
  std::vector<DeviceRow> out;
  out.reserve(devices_.size());
  for (const auto& known : devices_) out.push_back(rowOf(known.entry, known.changed, now));
  std::stable_sort(out.begin(), out.end(), [](const DeviceRow& a, const DeviceRow& b) {
    const std::string fa = folded(a.name), fb = folded(b.name);
    return fa != fb ? fa < fb : a.key < b.key;
  });
  return out;
}

std::chrono::milliseconds DeviceRowModel::untilAgeTextChanges() const {
  const nuv::Date now = clock_.now();
  microseconds soonest = kMaxWait;
  for (const auto& known : devices_) {
    const microseconds age = between(known.changed, now);
    microseconds unit = minutes(1);
    if (age >= days(1)) {
      unit = days(1);
    } else if (age >= hours(1)) {
      unit = hours(1);
    }
    soonest = std::min(soonest, unit - age % unit);
  }
  return std::max(std::chrono::ceil<milliseconds>(soonest), milliseconds(1));
}

std::string DeviceRowModel::ageText(microseconds age) {
  if (age < minutes(1)) return "changed just now";
  if (age < hours(1)) return "changed " + std::to_string(age / minutes(1)) + " min ago";
  if (age < days(1)) return counted(age / hours(1), "hour", "hours");
  return counted(age / days(1), "day", "days");
}

DeviceRow DeviceRowModel::rowOf(const nuvctl::DeviceEntry& entry, nuv::Date changed,
                                nuv::Date now) {
  using nuvctl::WatchView;
  DeviceRow row;
  row.key = entry.key;
  const std::string* name = entry.field("name");
  row.name = WatchView::displayText(name && !name->empty() ? *name : entry.key);
  row.kind = kindOf(entry.field("ProductType"));
  row.trusted = WatchView::flag(entry.field("Trusted")).value_or(true);
  if (row.trusted) {
    row.batteryPercent = WatchView::batteryLevel(entry.field("Battery"));
    row.charging = WatchView::flag(entry.field("Charging")).value_or(false);
    row.batteryText = row.batteryPercent ? std::to_string(*row.batteryPercent) + "%"
                                         : std::string("Battery unknown");
  } else {
    row.batteryText = "Unlock and trust this computer";
  }
  row.attached = WatchView::flag(entry.field("Host Attached")).value_or(false);
  row.attachedText = row.attached ? "Attached by USB" : "Not attached";
  row.ageText = ageText(between(changed, now));

  row.summary = row.trusted ? row.batteryText : "Unlock and trust this computer";
  if (row.charging) row.summary += ", charging";
  row.summary +=
      std::string(row.attached ? ", attached by USB, " : ", not attached, ") + row.ageText;
  return row;
}

}  // namespace nuvdevices
