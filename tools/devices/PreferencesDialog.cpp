#include "PreferencesDialog.h"

#include <glib/gi18n.h>

#include "BatteryAlertRules.h"
#include "platform/linux/runtime/LocaleText.h"

namespace nuvdevices {
namespace {

// One row: a title, a line of explanation under it, and the control.
GtkWidget* row(GtkWidget* list, const char* title, const char* text, GtkWidget* control) {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 18);
  GtkWidget* labels = gtk_box_new(GTK_ORIENTATION_VERTICAL, 2);
  gtk_widget_set_hexpand(labels, TRUE);
  gtk_widget_set_valign(labels, GTK_ALIGN_CENTER);
  GtkWidget* name = gtk_label_new(title);
  gtk_label_set_xalign(GTK_LABEL(name), 0);
  gtk_widget_add_css_class(name, "preference-title");
  GtkWidget* detail = gtk_label_new(text);
  gtk_label_set_xalign(GTK_LABEL(detail), 0);
  gtk_label_set_wrap(GTK_LABEL(detail), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(detail), 44);
  gtk_widget_add_css_class(detail, "dim-label");
  gtk_widget_add_css_class(detail, "preference-text");
  gtk_box_append(GTK_BOX(labels), name);
  gtk_box_append(GTK_BOX(labels), detail);
  gtk_widget_set_valign(control, GTK_ALIGN_CENTER);
  gtk_accessible_update_property(GTK_ACCESSIBLE(control), GTK_ACCESSIBLE_PROPERTY_LABEL, title, -1);
  gtk_box_append(GTK_BOX(box), labels);
  gtk_box_append(GTK_BOX(box), control);
  gtk_list_box_append(GTK_LIST_BOX(list), box);
  return gtk_widget_get_parent(box);  // the GtkListBoxRow
}

GtkWidget* toggle(GSettings* settings, const char* key) {
  GtkWidget* control = gtk_switch_new();
  g_settings_bind(settings, key, control, "active", G_SETTINGS_BIND_DEFAULT);
  return control;
}

// A whole number in [min, max] (a percentage, degrees).
GtkWidget* number(GSettings* settings, const char* key, int min, int max) {
  GtkWidget* control = gtk_spin_button_new_with_range(min, max, 1);
  gtk_spin_button_set_numeric(GTK_SPIN_BUTTON(control), TRUE);
  g_settings_bind(settings, key, control, "value", G_SETTINGS_BIND_DEFAULT);
  return control;
}

GtkWidget* group(GtkWidget* page, const char* heading) {
  GtkWidget* label = gtk_label_new(heading);
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  gtk_widget_add_css_class(label, "preference-heading");
  GtkWidget* list = gtk_list_box_new();
  gtk_list_box_set_selection_mode(GTK_LIST_BOX(list), GTK_SELECTION_NONE);
  gtk_widget_add_css_class(list, "device-list");
  gtk_accessible_update_property(GTK_ACCESSIBLE(list), GTK_ACCESSIBLE_PROPERTY_LABEL, heading, -1);
  gtk_box_append(GTK_BOX(page), label);
  gtk_box_append(GTK_BOX(page), list);
  return list;
}

}  // namespace

GtkWindow* PreferencesDialog::open(GtkWindow* parent, GSettings* settings) {
  GtkWidget* dialog = gtk_window_new();
  gtk_window_set_title(GTK_WINDOW(dialog), _("Preferences"));
  gtk_window_set_transient_for(GTK_WINDOW(dialog), parent);
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  gtk_window_set_destroy_with_parent(GTK_WINDOW(dialog), TRUE);
  gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
  gtk_widget_add_css_class(dialog, "preferences");
  GtkWidget* header = gtk_header_bar_new();
  gtk_window_set_titlebar(GTK_WINDOW(dialog), header);

  GtkWidget* page = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_widget_add_css_class(page, "devices-page");
  GtkWidget* alerts = group(page, _("Alerts"));
  GtkWidget* master = toggle(settings, "battery-alerts");
  row(alerts, _("Battery alerts"),
      _("Tell me when a device is low, charged, not charging, hot, or waits to be trusted"),
      master);
  const auto minutes =
      static_cast<unsigned long>(BatteryAlertRules::kNotChargingDelay.count() / 60000);
  const std::string notCharging = nuv::linux_backend::LocaleText::format(
      ngettext("Alert when a device is plugged in but has not charged for %lu minute",
               "Alert when a device is plugged in but has not charged for %lu minutes", minutes),
      minutes);
  GtkWidget* dependent[] = {
      row(alerts, _("Low battery level"), _("Alert at or below this percentage when not charging"),
          number(settings, "low-battery-level", 5, 50)),
      row(alerts, _("Charge target"), _("Alert when a charging device reaches this percentage"),
          number(settings, "charge-target", 50, 100)),
      row(alerts, C_("alert", "Not charging"), notCharging.c_str(),
          toggle(settings, "not-charging-alert")),
      row(alerts, _("Hot battery"), _("Alert when a battery reaches this temperature, in \u00b0C"),
          number(settings, "hot-temperature", 30, 60)),
  };
  for (GtkWidget* w : dependent) {
    g_object_bind_property(master, "active", w, "sensitive", G_BINDING_SYNC_CREATE);
  }
  GtkWidget* startup = group(page, _("Startup"));
  row(startup, _("Start at login"),
      _("Run in the background after login, so alerts come without this window open"),
      toggle(settings, "start-at-login"));
  gtk_window_set_child(GTK_WINDOW(dialog), page);
  gtk_window_present(GTK_WINDOW(dialog));
  return GTK_WINDOW(dialog);
}

}  // namespace nuvdevices
