#pragma once

#include <gtk/gtk.h>

namespace nuvdevices {

// The Preferences dialog: the alerts and start at login, bound to the
// vemo.Tallyport.NUVDevices settings, so every change applies at once (there
// is no Apply button). The level, target and not-charging rows follow the
// main "Battery alerts" switch. The dialog owns itself: it is destroyed when
// closed, or with its parent.
class PreferencesDialog {
 public:
  static GtkWindow* open(GtkWindow* parent, GSettings* settings);
};

}  // namespace nuvdevices
