#include "DeviceRowWidget.h"

#include <glib/gi18n.h>

#include <string>

namespace nuvdevices {
namespace {

GtkWidget* label(const char* cssClass, float xalign) {
  GtkWidget* widget = gtk_label_new(nullptr);
  gtk_label_set_xalign(GTK_LABEL(widget), xalign);
  gtk_widget_add_css_class(widget, cssClass);
  return widget;
}

const char* kindName(DeviceKind kind) {
  switch (kind) {
    case DeviceKind::Phone:
      return "iPhone";
    case DeviceKind::Tablet:
      return "iPad";
    case DeviceKind::Player:
      return "iPod";
    case DeviceKind::Other:
      break;
  }
  return _("Device");
}

void setText(GtkWidget* widget, const std::string& text) {
  gtk_label_set_text(GTK_LABEL(widget), text.c_str());
}

}  // namespace

DeviceRowWidget::DeviceRowWidget() : row_(GTK_WIDGET(g_object_ref_sink(gtk_list_box_row_new()))) {
  // A click opens the device's page with its battery history.
  gtk_list_box_row_set_activatable(GTK_LIST_BOX_ROW(row_.get()), TRUE);
  gtk_widget_add_css_class(row_.get(), "device");

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 14);
  gtk_list_box_row_set_child(GTK_LIST_BOX_ROW(row_.get()), box);

  icon_ = gtk_image_new();
  gtk_image_set_pixel_size(GTK_IMAGE(icon_), 32);
  gtk_widget_add_css_class(icon_, "device-icon");
  gtk_box_append(GTK_BOX(box), icon_);

  GtkWidget* texts = gtk_box_new(GTK_ORIENTATION_VERTICAL, 3);
  gtk_widget_set_hexpand(texts, TRUE);
  gtk_widget_set_valign(texts, GTK_ALIGN_CENTER);
  name_ = label("device-name", 0);
  gtk_label_set_ellipsize(GTK_LABEL(name_), PANGO_ELLIPSIZE_END);
  details_ = label("device-details", 0);
  gtk_label_set_ellipsize(GTK_LABEL(details_), PANGO_ELLIPSIZE_END);
  gtk_widget_add_css_class(details_, "dim-label");
  gtk_box_append(GTK_BOX(texts), name_);
  gtk_box_append(GTK_BOX(texts), details_);
  // How it charges, when the probe says more than "Charging": a line of its
  // own, too long to share the details line beside the battery.
  power_ = label("device-power", 0);
  gtk_label_set_ellipsize(GTK_LABEL(power_), PANGO_ELLIPSIZE_END);
  gtk_widget_add_css_class(power_, "dim-label");
  gtk_box_append(GTK_BOX(texts), power_);
  gtk_box_append(GTK_BOX(box), texts);

  // Battery or trust hint: one of the two is visible. Hidden widgets are also
  // left out of the accessibility tree, so a screen reader reads only what
  // is shown.
  battery_ = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  gtk_widget_set_valign(battery_, GTK_ALIGN_CENTER);
  GtkWidget* battery = battery_;
  batteryIcon_ = gtk_image_new();
  gtk_widget_add_css_class(batteryIcon_, "battery-icon");
  level_ = gtk_level_bar_new_for_interval(0, 100);
  gtk_widget_add_css_class(level_, "battery");
  gtk_widget_set_valign(level_, GTK_ALIGN_CENTER);
  // The fill's style class says how full: "battery-low" up to 20 %.
  GtkLevelBar* bar = GTK_LEVEL_BAR(level_);
  gtk_level_bar_remove_offset_value(bar, GTK_LEVEL_BAR_OFFSET_LOW);
  gtk_level_bar_remove_offset_value(bar, GTK_LEVEL_BAR_OFFSET_HIGH);
  gtk_level_bar_remove_offset_value(bar, GTK_LEVEL_BAR_OFFSET_FULL);
  gtk_level_bar_add_offset_value(bar, "battery-low", 20);
  gtk_level_bar_add_offset_value(bar, "battery-ok", 100);
  percent_ = label("battery-percent", 1);
  gtk_label_set_width_chars(GTK_LABEL(percent_), 4);
  gtk_box_append(GTK_BOX(battery), batteryIcon_);
  gtk_box_append(GTK_BOX(battery), level_);
  gtk_box_append(GTK_BOX(battery), percent_);
  gtk_box_append(GTK_BOX(box), battery);

  trust_ = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  GtkWidget* trust = trust_;
  gtk_widget_set_valign(trust, GTK_ALIGN_CENTER);
  gtk_widget_add_css_class(trust, "trust-hint");
  GtkWidget* lock = gtk_image_new_from_icon_name("system-lock-screen-symbolic");
  hint_ = label("trust-hint-text", 0);
  gtk_label_set_wrap(GTK_LABEL(hint_), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(hint_), 16);
  gtk_box_append(GTK_BOX(trust), lock);
  gtk_box_append(GTK_BOX(trust), hint_);
  gtk_box_append(GTK_BOX(box), trust);
}

const char* DeviceRowWidget::deviceIconName(DeviceKind kind) {
  switch (kind) {
    case DeviceKind::Phone:
      return "phone-apple-iphone-symbolic";
    case DeviceKind::Tablet:
      return "tablet-symbolic";
    case DeviceKind::Player:
      return "multimedia-player-apple-ipod-touch-symbolic";
    case DeviceKind::Other:
      break;
  }
  return "phone-symbolic";
}

std::string DeviceRowWidget::batteryIconName(const DeviceRow& row) {
  if (!row.batteryPercent) return "battery-missing-symbolic";
  const int step = *row.batteryPercent / 10 * 10;
  if (row.charging && step == 100) return "battery-level-100-charged-symbolic";
  return "battery-level-" + std::to_string(step) + (row.charging ? "-charging" : "") + "-symbolic";
}

void DeviceRowWidget::show(const DeviceRow& row) {
  if (shown_ && *shown_ == row) return;
  const bool first = !shown_;
  const auto differs = [&](auto member) { return first || (*shown_).*member != row.*member; };

  if (differs(&DeviceRow::kind)) {
    gtk_image_set_from_icon_name(GTK_IMAGE(icon_), deviceIconName(row.kind));
    gtk_accessible_update_property(GTK_ACCESSIBLE(icon_), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                   kindName(row.kind), -1);
  }
  if (differs(&DeviceRow::name)) setText(name_, row.name);
  std::string details = row.attachedText;
  if (row.charging && row.powerText.empty()) details += std::string(" \u00b7 ") + _("Charging");
  details += " \u00b7 " + row.ageText;
  setText(details_, details);
  if (differs(&DeviceRow::powerText)) {
    setText(power_, row.powerText);
    gtk_widget_set_visible(power_, !row.powerText.empty());
  }

  gtk_widget_set_visible(battery_, row.trusted);
  gtk_widget_set_visible(trust_, !row.trusted);
  if (row.trusted) {
    gtk_image_set_from_icon_name(GTK_IMAGE(batteryIcon_), batteryIconName(row).c_str());
    gtk_accessible_update_property(GTK_ACCESSIBLE(batteryIcon_), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                   row.charging ? _("Charging") : _("Not charging"), -1);
    gtk_widget_set_visible(level_, row.batteryPercent.has_value());
    gtk_level_bar_set_value(GTK_LEVEL_BAR(level_), row.batteryPercent.value_or(0));
    if (row.charging) {
      gtk_widget_add_css_class(level_, "charging");
    } else {
      gtk_widget_remove_css_class(level_, "charging");
    }
    setText(percent_, row.batteryPercent ? row.batteryText : "?");
    gtk_widget_set_tooltip_text(battery_, row.batteryPercent ? nullptr : _("Battery unknown"));
  } else {
    setText(hint_, row.batteryText);
    gtk_widget_set_tooltip_text(trust_,
                                _("The device is locked or has not trusted this computer yet. "
                                  "Unlock it and answer \u201cTrust\u201d."));
  }

  gtk_widget_set_tooltip_text(row_.get(), row.summary.c_str());
  gtk_accessible_update_property(GTK_ACCESSIBLE(row_.get()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 row.name.c_str(), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                 row.summary.c_str(), -1);
  shown_ = row;
}

}  // namespace nuvdevices
