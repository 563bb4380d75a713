#pragma once

#include <gtk/gtk.h>

#include <map>
#include <string>

#include "platform/HistoryStore.h"
#include "platform/linux/GlibHandles.h"

namespace nuv {
class Clock;
}

namespace nuvdevices {

// One device's page, a window of its own beside the list: the summary line,
// the battery chart of the last 24 hours (or, with the switch, 7 days) and
// the battery's health when the probe reports it. The history comes from the
// module's GetHistory and is asked for again whenever the device's entry
// changes, so the chart follows new changes.
//
// Loop thread only. Replies that arrive after destruction are dropped.
class DeviceHistoryPage {
 public:
  DeviceHistoryPage(GtkWindow* parent, GDBusConnection* bus, const nuv::Clock& clock);
  ~DeviceHistoryPage();
  DeviceHistoryPage(const DeviceHistoryPage&) = delete;
  DeviceHistoryPage& operator=(const DeviceHistoryPage&) = delete;

  // Shows the device `key` with its current entry, and brings the page up.
  void open(const std::string& key, const std::map<std::string, std::string>& entry);
  // The device's entry changed (new values, a new broadcast): read again.
  // Ignored for other devices or while the page is closed.
  void entryChanged(const std::string& key, const std::map<std::string, std::string>& entry);

 private:
  void showEntry(const std::map<std::string, std::string>& entry);
  void reload();
  static void onReply(GObject* bus, GAsyncResult* result, void* self);

  nuv::glib::Object<GDBusConnection> bus_;
  const nuv::Clock& clock_;
  nuv::glib::Object<GtkWidget> window_;
  GtkWidget* chart_;
  GtkWidget* summary_;
  GtkWidget* health_;
  GtkWidget* week_;
  std::string key_;
  nuv::glib::Object<GCancellable> call_;
  nuv::Date from_, to_;
};

}  // namespace nuvdevices
