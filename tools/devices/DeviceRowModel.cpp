#include "DeviceRowModel.h"

#include <glib/gi18n.h>

#include <algorithm>
#include <cctype>

#include "client/DeviceStatus.h"
#include "platform/linux/runtime/LocaleText.h"

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

void DeviceRowModel::update(const nuvclient::StackPayload& map) {
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
  using nuv::linux_backend::LocaleText;
  if (age < minutes(1)) return _("changed just now");
  if (age < hours(1)) {
    const auto n = static_cast<unsigned long>(age / minutes(1));
    return LocaleText::format(ngettext("changed %lu min ago", "changed %lu min ago", n), n);
  }
  if (age < days(1)) {
    const auto n = static_cast<unsigned long>(age / hours(1));
    return LocaleText::format(ngettext("changed %lu hour ago", "changed %lu hours ago", n), n);
  }
  const auto n = static_cast<unsigned long>(age / days(1));
  return LocaleText::format(ngettext("changed %'lu day ago", "changed %'lu days ago", n), n);
}

DeviceRow DeviceRowModel::rowOf(const nuvclient::DeviceEntry& entry, nuv::Date changed,
                                nuv::Date now) {
  using nuvclient::DeviceStatus;
  DeviceRow row;
  row.key = entry.key;
  row.name = DeviceStatus::name(entry);
  row.kind = kindOf(entry.field("ProductType"));
  row.trusted = DeviceStatus::trusted(entry);
  row.batteryPercent = DeviceStatus::battery(entry);
  row.charging = DeviceStatus::charging(entry);
  row.powerText = DeviceStatus::powerText(entry);
  row.batteryText = DeviceStatus::batteryText(entry);
  row.attached = DeviceStatus::attached(entry);
  row.attachedText = DeviceStatus::attachedText(entry);
  row.ageText = ageText(between(changed, now));
  row.summary = DeviceStatus::summary(entry) + ", " + row.ageText;
  return row;
}

}  // namespace nuvdevices
