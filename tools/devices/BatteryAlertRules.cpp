#include "BatteryAlertRules.h"

#include <glib/gi18n.h>

#include <array>
#include <sstream>

#include "client/DeviceStatus.h"
#include "platform/linux/runtime/LocaleText.h"

namespace nuvdevices {
namespace {

using nuvclient::DeviceStatus;

constexpr std::array kKinds{AlertKind::Low, AlertKind::Charged, AlertKind::NotCharging,
                            AlertKind::NeedsTrust, AlertKind::Hot};

bool writable(const std::string& key) { return key.find_first_of("\t\n\r") == std::string::npos; }

}  // namespace

BatteryAlertRules::BatteryAlertRules(nuv::RunLoop& loop, AlertSink& sink, AlertSettings settings,
                                     std::string_view state, Delays delays)
    : loop_(loop), sink_(sink), settings_(settings), delays_(delays) {
  std::istringstream lines{std::string(state)};
  for (std::string line; std::getline(lines, line);) {
    const auto tab = line.find('\t');
    if (tab == std::string::npos || tab + 1 == line.size()) continue;
    for (AlertKind kind : kKinds) {
      if (line.compare(0, tab, kindName(kind)) == 0) told_[line.substr(tab + 1)].insert(kind);
    }
  }
}

BatteryAlertRules::~BatteryAlertRules() { clear(); }

std::string BatteryAlertRules::kindName(AlertKind kind) {
  switch (kind) {
    case AlertKind::Low:
      return "low";
    case AlertKind::Charged:
      return "charged";
    case AlertKind::NotCharging:
      return "not-charging";
    case AlertKind::NeedsTrust:
      return "needs-trust";
    case AlertKind::Hot:
      return "hot";
  }
  return "?";
}

std::string BatteryAlertRules::state() const {
  std::string out;
  for (const auto& [key, kinds] : told_) {
    if (!writable(key)) continue;
    for (AlertKind kind : kinds) out += kindName(kind) + "\t" + key + "\n";
  }
  return out;
}

void BatteryAlertRules::stop(nuv::TimerRef& timer) {
  if (timer) timer->invalidate();
  timer.reset();
}

void BatteryAlertRules::clear() {
  for (auto& [key, device] : devices_) {
    stop(device.notChargingTimer);
    stop(device.trustTimer);
  }
  devices_.clear();
}

BatteryAlertRules::Facts BatteryAlertRules::factsOf(const nuvclient::DeviceEntry& entry) {
  Facts f;
  f.name = DeviceStatus::name(entry);
  const auto flag = [&](const char* field) {
    return DeviceStatus::flag(entry.field(field)).value_or(false);
  };
  f.trusted = DeviceStatus::trusted(entry);
  f.level = DeviceStatus::battery(entry);
  f.temperature = nuvclient::DeviceStatus::temperature(entry);
  f.charging = flag("Charging");
  f.external = flag("ExternalConnected");
  f.full = flag("FullyCharged");
  f.attached = DeviceStatus::attached(entry);
  return f;
}

void BatteryAlertRules::update(const nuvclient::StackPayload& map) {
  std::map<std::string, Device> next;
  for (const auto& entry : map.devices) {
    auto old = devices_.find(entry.key);
    Device& device = next[entry.key];
    if (old != devices_.end()) device = std::move(old->second);
    device.facts = factsOf(entry);
  }
  clear();  // the devices that left
  devices_ = std::move(next);
  for (auto& [key, device] : devices_) evaluate(key, device);
  flush();
}

void BatteryAlertRules::setSettings(const AlertSettings& settings) {
  if (settings == settings_) return;
  settings_ = settings;
  for (auto& [key, device] : devices_) evaluate(key, device);
  flush();
}

void BatteryAlertRules::evaluate(const std::string& key, Device& device) {
  const Facts& f = device.facts;
  const bool on = settings_.enabled;

  // Needs trust: once per attach.
  if (!f.attached) rearm(key, AlertKind::NeedsTrust);
  if (f.trusted || !f.attached || !on) hide(key, AlertKind::NeedsTrust);
  if (f.attached && !f.trusted && on && !told(key, AlertKind::NeedsTrust)) {
    if (!device.trustTimer) {
      device.trustTimer =
          loop_.scheduleTimer(delays_.trust, [this, key] { timed(key, AlertKind::NeedsTrust); });
    }
  } else {
    stop(device.trustTimer);
  }

  // Hot, charging or not. Without a temperature the alert stays as it is.
  if (f.temperature) {
    const int hot = settings_.hotTemperature;
    if (*f.temperature <= hot - kCool) {
      rearm(key, AlertKind::Hot);
    } else if (on && *f.temperature >= hot && !told(key, AlertKind::Hot)) {
      tell(key, AlertKind::Hot, f);
    }
  }
  if (!on) hide(key, AlertKind::Hot);

  // Without a level nothing is known of the battery: its alerts stay as they are.
  if (!f.level) {
    stop(device.notChargingTimer);
    return;
  }
  const int level = *f.level;
  const int low = settings_.lowLevel, target = settings_.chargeTarget;

  if (f.charging || level >= low + kRearm) {
    rearm(key, AlertKind::Low);
  } else if (on && level <= low && !told(key, AlertKind::Low)) {
    tell(key, AlertKind::Low, f);
  }

  const bool onPower = f.charging || f.external || f.full;
  if (!onPower || level <= target - kRearm) {
    rearm(key, AlertKind::Charged);
  } else if (on && ((f.charging && level >= target) || (target == 100 && f.full)) &&
             !told(key, AlertKind::Charged)) {
    tell(key, AlertKind::Charged, f);
  }

  const bool stuck = f.external && !f.charging && !f.full && level < target;
  if (!stuck) rearm(key, AlertKind::NotCharging);
  if (!on || !settings_.notCharging) hide(key, AlertKind::NotCharging);
  if (stuck && on && settings_.notCharging && !told(key, AlertKind::NotCharging)) {
    if (!device.notChargingTimer) {
      device.notChargingTimer = loop_.scheduleTimer(
          delays_.notCharging, [this, key] { timed(key, AlertKind::NotCharging); });
    }
  } else {
    stop(device.notChargingTimer);
  }

  if (!on) {
    hide(key, AlertKind::Low);
    hide(key, AlertKind::Charged);
  }
}

void BatteryAlertRules::timed(const std::string& key, AlertKind kind) {
  // The timer is stopped whenever the condition ends, so it still holds.
  auto it = devices_.find(key);
  if (it == devices_.end()) return;
  (kind == AlertKind::NeedsTrust ? it->second.trustTimer : it->second.notChargingTimer).reset();
  tell(key, kind, it->second.facts);
  flush();
}

bool BatteryAlertRules::told(const std::string& key, AlertKind kind) const {
  auto it = told_.find(key);
  return it != told_.end() && it->second.count(kind);
}

void BatteryAlertRules::tell(const std::string& key, AlertKind kind, const Facts& facts) {
  told_[key].insert(kind);
  dirty_ |= writable(key);
  shown_.insert({key, kind});
  sink_.show(alertFor(key, kind, facts));
}

void BatteryAlertRules::rearm(const std::string& key, AlertKind kind) {
  auto it = told_.find(key);
  if (it != told_.end() && it->second.erase(kind)) {
    dirty_ |= writable(key);
    if (it->second.empty()) told_.erase(it);
  }
  hide(key, kind);
}

void BatteryAlertRules::hide(const std::string& key, AlertKind kind) {
  if (shown_.erase({key, kind})) sink_.withdraw(kind, key);
}

void BatteryAlertRules::flush() {
  if (!dirty_) return;
  dirty_ = false;
  sink_.remember(state());
}

Alert BatteryAlertRules::alertFor(const std::string& key, AlertKind kind, const Facts& f) const {
  using nuv::linux_backend::LocaleText;
  // Low, charged and not charging are told only with a level.
  const int level = f.level.value_or(0);
  const char* name = f.name.c_str();
  Alert alert{kind, key, "", ""};
  switch (kind) {
    case AlertKind::Low:
      // TRANSLATORS: in the alerts' titles, %s is the device's name ("Anna's iPhone").
      alert.title = LocaleText::format(_("%s: battery low"), name);
      alert.body = LocaleText::format(_("%d%% left. Connect it to a charger."), level);
      break;
    case AlertKind::Charged:
      alert.title = LocaleText::format(_("%s is charged"), name);
      alert.body = LocaleText::format(settings_.chargeTarget < 100
                                          ? _("%d%%, your charge target. You can unplug it.")
                                          : _("%d%%. You can unplug it."),
                                      level);
      break;
    case AlertKind::NotCharging: {
      const auto minutes = static_cast<unsigned long>(kNotChargingDelay.count() / 60000);
      alert.title = LocaleText::format(_("%s is not charging"), name);
      alert.body = LocaleText::format(
          // TRANSLATORS: the battery level, then the minutes.
          ngettext("Plugged in at %d%% for %lu minute, but not charging. Check the cable and the "
                   "charger.",
                   "Plugged in at %d%% for %lu minutes, but not charging. Check the cable and the "
                   "charger.",
                   minutes),
          level, minutes);
      break;
    }
    case AlertKind::NeedsTrust:
      alert.title = LocaleText::format(_("Unlock %s and tap Trust"), name);
      alert.body =
          _("It is attached by USB but does not trust this computer yet, "
            "so its battery cannot be read.");
      break;
    case AlertKind::Hot:
      alert.title = LocaleText::format(_("%s is hot"), name);
      alert.body = LocaleText::format(
          _("Its battery is at %d \u00b0C. Let it cool: off the charger, out of its case and "
            "out of the sun."),
          f.temperature.value_or(0));
      break;
  }
  return alert;
}

}  // namespace nuvdevices
