#pragma once

#include <gtk/gtk.h>

#include <optional>
#include <string>

#include "DeviceRow.h"
#include "platform/linux/GlibHandles.h"

namespace nuvdevices {

// The widgets of one device row: device icon, name, a details line
// (attached, charging, age), a line of how it charges when the probe says
// more (power, charger, temperature), and either the battery (icon with
// the charging symbol, level bar, percentage) or the trust hint. Texts are set as plain text, so
// names with markup characters show literally. Screen readers get the name as the row's label and
// the summary as its description.
//
// Loop thread only.
class DeviceRowWidget {
 public:
  DeviceRowWidget();
  DeviceRowWidget(const DeviceRowWidget&) = delete;
  DeviceRowWidget& operator=(const DeviceRowWidget&) = delete;

  // The GtkListBoxRow; this object keeps a reference of its own.
  GtkWidget* widget() const { return row_.get(); }
  // The key of the device shown; "" before the first show().
  const std::string& key() const { return shown_ ? shown_->key : kNone; }
  // Updates only what differs from the row shown before.
  void show(const DeviceRow& row);

  static const char* deviceIconName(DeviceKind kind);
  // "battery-level-80-charging-symbolic" and the like; levels in steps of ten.
  static std::string batteryIconName(const DeviceRow& row);

 private:
  nuv::glib::Object<GtkWidget> row_;
  GtkWidget* icon_;
  GtkWidget* name_;
  GtkWidget* details_;
  GtkWidget* power_;
  GtkWidget* battery_;
  GtkWidget* trust_;
  GtkWidget* batteryIcon_;
  GtkWidget* level_;
  GtkWidget* percent_;
  GtkWidget* hint_;
  std::optional<DeviceRow> shown_;
  static inline const std::string kNone;
};

}  // namespace nuvdevices
