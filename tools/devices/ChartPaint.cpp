#include "ChartPaint.h"

namespace nuvdevices {

GdkRGBA ChartPaint::color(const char* text) {
  GdkRGBA color{0, 0, 0, 1};
  gdk_rgba_parse(&color, text);
  return color;
}

void ChartPaint::rect(GtkSnapshot* snapshot, const GdkRGBA& color, float x, float y, float w,
                      float h) {
  if (w <= 0 || h <= 0) return;
  graphene_rect_t r = GRAPHENE_RECT_INIT(x, y, w, h);
  gtk_snapshot_append_color(snapshot, &color, &r);
}

void ChartPaint::text(GtkWidget* widget, GtkSnapshot* snapshot, const std::string& text, float x,
                      float y, const GdkRGBA& color) {
  PangoLayout* layout = gtk_widget_create_pango_layout(widget, text.c_str());
  gtk_snapshot_save(snapshot);
  graphene_point_t at = GRAPHENE_POINT_INIT(x, y);
  gtk_snapshot_translate(snapshot, &at);
  gtk_snapshot_append_layout(snapshot, layout, &color);
  gtk_snapshot_restore(snapshot);
  g_object_unref(layout);
}

float ChartPaint::textWidth(GtkWidget* widget, const std::string& text) {
  PangoLayout* layout = gtk_widget_create_pango_layout(widget, text.c_str());
  int width = 0;
  pango_layout_get_pixel_size(layout, &width, nullptr);
  g_object_unref(layout);
  return static_cast<float>(width);
}

}  // namespace nuvdevices
