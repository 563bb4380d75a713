#pragma once

#include <gtk/gtk.h>

#include <string>

namespace nuvdevices {

// What the device page's charts draw with, through GTK's snapshot API (no
// cairo: every renderer draws rectangles and text natively). Loop thread.
struct ChartPaint {
  // Common colours of both charts.
  static constexpr const char* kGrid = "rgba(128,128,128,0.25)";
  static constexpr const char* kText = "rgba(128,128,128,0.9)";
  static constexpr const char* kLine = "#3584e4";

  // A CSS colour text; black when it does not parse.
  static GdkRGBA color(const char* text);
  // A filled rectangle; a negative width or height draws nothing.
  static void rect(GtkSnapshot* snapshot, const GdkRGBA& color, float x, float y, float w, float h);
  // `text` in the widget's font with its top left corner at (x, y).
  static void text(GtkWidget* widget, GtkSnapshot* snapshot, const std::string& text, float x,
                   float y, const GdkRGBA& color);
  // How wide `text` is drawn, in pixels.
  static float textWidth(GtkWidget* widget, const std::string& text);
};

}  // namespace nuvdevices
