#pragma once

#include <gtk/gtk.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "BatterySection.h"
#include "client/HostClient.h"
#include "client/StackPayload.h"
#include "platform/HistoryStore.h"
#include "platform/linux/GlibHandles.h"

namespace nuv {
class Clock;
}

namespace nuvdevices {

// One device's page in the devices window, in two tabs. History: the
// summary line and the battery chart of the last 24 hours (or, with the
// switch, 7 days). Battery: the battery's facts (BatterySection) and the
// health-trend chart of the health rows kept, with its line
// (HistorySummary::health) and the projected date of 80 % (HealthTrend).
// Above both, an optional notice (the device left the map, the module
// stopped). The history comes from the module's GetHistory and is asked for
// again whenever the device's entry changes, so the chart follows new
// changes; the health rows from GetHealthHistory, again when the entry's
// health readings change. Each is read again after a failed read.
//
// Loop thread only. Replies that arrive after close() or destruction are
// dropped.
class DeviceHistoryPage {
 public:
  using Fields = std::map<std::string, std::string>;

  DeviceHistoryPage(GDBusConnection* bus, const nuv::Clock& clock);
  ~DeviceHistoryPage();
  DeviceHistoryPage(const DeviceHistoryPage&) = delete;
  DeviceHistoryPage& operator=(const DeviceHistoryPage&) = delete;

  // The page's widget; this object keeps a reference of its own.
  GtkWidget* widget() const { return box_.get(); }

  // Shows the device `key` on the History tab, named by its key until
  // update() names it; its history and health are read at the next update().
  void open(const std::string& key);
  // Stops following the device: a pending read is dropped.
  void close();
  // The device shown; "" while closed.
  const std::string& key() const { return key_; }
  // Its name as last seen, for the window's title.
  const std::string& name() const { return name_; }

  // The device as the newest map has it: `entry` is its entry, or null when
  // the map does not hold it (the last values stay); `name` the name to show
  // ("" keeps the last one); `notice` a line about it ("" for none). Reads
  // the history again when the entry differs from the last one, the health
  // rows when its health readings do, and either after a failed read.
  void update(const nuvclient::DeviceEntry* entry, const std::string& name,
              const std::string& notice);

 private:
  std::chrono::hours span() const;  // 24 hours, or 7 days with the switch on
  void reload();
  void reloadHealth();
  void showBattery(const nuvclient::DeviceEntry& entry);
  void tabChanged();
  static void onReply(GObject* bus, GAsyncResult* result, void* self);
  static void onHealthReply(GObject* bus, GAsyncResult* result, void* self);
  // The probe's keys that the health rows are made of.
  static Fields healthOf(const Fields& fields);

  // How long the module may take to answer.
  static constexpr int kCallTimeoutMs = 10000;

  nuvclient::HostClient host_;
  const nuv::Clock& clock_;
  nuv::glib::Object<GtkWidget> box_;
  GtkWidget* tabs_;
  GtkWidget* chart_;
  GtkWidget* summary_;
  GtkWidget* notice_;
  GtkWidget* week_;
  GtkWidget* weekLabel_;
  GtkWidget* facts_;      // a grid of label and value pairs
  GtkWidget* factsNote_;  // instead of the facts when there are none
  GtkWidget* healthChart_;
  GtkWidget* healthSummary_;
  std::string key_;
  std::string name_;
  std::optional<Fields> entry_;  // as last read; none until the map holds the device
  std::vector<BatterySection::Item> shownFacts_;
  bool stale_ = false;        // opened, or the last read failed: read at the next update
  bool healthStale_ = false;  // the same for the health rows
  nuv::glib::Object<GCancellable> call_, healthCall_;
  nuv::Date from_, to_, healthTo_;
};

}  // namespace nuvdevices
