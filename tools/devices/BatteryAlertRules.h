#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "client/StackPayload.h"
#include "platform/RunLoop.h"

namespace nuvdevices {

enum class AlertKind { Low, Charged, NotCharging, NeedsTrust, Hot };

// What the person chose (GSettings vemo.Tallyport.NUVDevices).
struct AlertSettings {
  bool enabled = true;  // "battery-alerts": every kind of alert
  int lowLevel = 20;
  int chargeTarget = 100;
  bool notCharging = true;
  int hotTemperature = 40;  // °C

  friend bool operator==(const AlertSettings&, const AlertSettings&) = default;
};

// One notification: shown under the id (kind, device), so a newer one of the
// same kind for the same device replaces it on screen.
struct Alert {
  AlertKind kind;
  std::string device;  // the map key
  std::string title;
  std::string body;
};

// Where the rules' decisions go: the desktop's notifications and the state
// file. Called on the loop thread, never while a map is half evaluated.
class AlertSink {
 public:
  virtual ~AlertSink() = default;
  virtual void show(const Alert& alert) = 0;
  virtual void withdraw(AlertKind kind, const std::string& device) = 0;
  // What has been told changed; `state` (BatteryAlertRules::state()) is to be
  // kept and handed back at the next start.
  virtual void remember(const std::string& state) = 0;
};

// When to tell the person about a device, from the module's status maps.
// Pure logic: time and timers come from the RunLoop, output goes to the sink.
//
// A device's battery is read only when it is trusted and reports a level.
//   low          level <= low level while not charging; told again only
//                after the level reached low level + 5 or charging started.
//   charged      while charging, level >= charge target (with a target of
//                100 also "FullyCharged" 1, which a full device reports
//                while it no longer charges); told again only after the
//                level fell to target - 5 or power went away (neither
//                charging, nor external power, nor full).
//   not charging external power, not charging, not full, below the target,
//                for kNotChargingDelay on end; told again once that ended.
//   needs trust  attached by USB and untrusted for kTrustDelay on end; once
//                per attach ("Host Attached" 0 ends the attach).
//   hot          "BatteryTemperature" >= the hot temperature; told again only
//                after it cooled to hot temperature - kCool, which also
//                withdraws it. A device that stops reporting a temperature
//                keeps what was told, as one without a level does.
// An alert that no longer holds (re-armed, or the device trusted) is
// withdrawn. "What was told" is the state, so a restart repeats nothing; a
// device that leaves the map keeps it, its timers stop. Settings apply at
// once; a switched-off kind is withdrawn and fires when switched on again if
// it still holds and was not told.
//
// Loop thread only.
class BatteryAlertRules {
 public:
  struct Delays {
    nuv::Milliseconds notCharging{kNotChargingDelay};
    nuv::Milliseconds trust{kTrustDelay};
  };

  // `state`: what an earlier instance remembered ("" or unreadable: nothing).
  BatteryAlertRules(nuv::RunLoop& loop, AlertSink& sink, AlertSettings settings,
                    std::string_view state, Delays delays);
  BatteryAlertRules(nuv::RunLoop& loop, AlertSink& sink, AlertSettings settings,
                    std::string_view state)
      : BatteryAlertRules(loop, sink, settings, state, Delays{}) {}
  ~BatteryAlertRules();
  BatteryAlertRules(const BatteryAlertRules&) = delete;
  BatteryAlertRules& operator=(const BatteryAlertRules&) = delete;

  // The whole map, as the module broadcast it.
  void update(const nuvclient::StackPayload& map);
  // The module went away: no device is known any longer; timers stop.
  void clear();
  void setSettings(const AlertSettings& settings);

  // One line per alert told: "<kind>\t<device key>". Keys that cannot be
  // written so (tabs, line breaks) are remembered only in memory.
  std::string state() const;
  static std::string kindName(AlertKind kind);

  static constexpr nuv::Milliseconds kNotChargingDelay{10 * 60 * 1000};
  static constexpr nuv::Milliseconds kTrustDelay{60 * 1000};
  static constexpr int kRearm = 5;  // points of hysteresis
  static constexpr int kCool = 3;   // °C of hysteresis

 private:
  struct Facts {
    std::string name;
    bool trusted = true;
    std::optional<int> level;
    std::optional<int> temperature;  // °C
    bool charging = false, external = false, full = false, attached = false;
  };
  struct Device {
    Facts facts;
    nuv::TimerRef notChargingTimer, trustTimer;
  };

  void evaluate(const std::string& key, Device& device);
  void timed(const std::string& key, AlertKind kind);
  bool told(const std::string& key, AlertKind kind) const;
  void tell(const std::string& key, AlertKind kind, const Facts& facts);
  void rearm(const std::string& key, AlertKind kind);
  void hide(const std::string& key, AlertKind kind);
  void flush();
  static void stop(nuv::TimerRef& timer);
  static Facts factsOf(const nuvclient::DeviceEntry& entry);
  Alert alertFor(const std::string& key, AlertKind kind, const Facts& facts) const;

  nuv::RunLoop& loop_;
  AlertSink& sink_;
  AlertSettings settings_;
  Delays delays_;
  std::map<std::string, Device> devices_;
  std::map<std::string, std::set<AlertKind>> told_;
  std::set<std::pair<std::string, AlertKind>> shown_;  // by this process, not withdrawn
  bool dirty_ = false;
};

}  // namespace nuvdevices
