#include "DeviceHistoryPage.h"

#include <chrono>

#include "HistoryChart.h"
#include "HistorySummary.h"
#include "platform/BusNames.h"
#include "platform/Clock.h"
#include "platform/linux/bus/VariantCodec.h"

namespace nuvdevices {
namespace {

constexpr int kCallTimeoutMs = 10000;

bool cancelled(const GError* error) {
  return error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
}

}  // namespace

DeviceHistoryPage::DeviceHistoryPage(GtkWindow* parent, GDBusConnection* bus,
                                     const nuv::Clock& clock)
    : bus_(G_DBUS_CONNECTION(g_object_ref(bus))), clock_(clock) {
  window_.reset(GTK_WIDGET(g_object_ref_sink(gtk_window_new())));
  gtk_window_set_transient_for(GTK_WINDOW(window_.get()), parent);
  gtk_window_set_hide_on_close(GTK_WINDOW(window_.get()), TRUE);
  gtk_window_set_default_size(GTK_WINDOW(window_.get()), 640, 340);
  gtk_widget_add_css_class(window_.get(), "history-page");

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
  gtk_widget_set_margin_start(box, 16);
  gtk_widget_set_margin_end(box, 16);
  gtk_widget_set_margin_top(box, 12);
  gtk_widget_set_margin_bottom(box, 12);
  GtkWidget* top = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  summary_ = gtk_label_new(nullptr);
  gtk_label_set_xalign(GTK_LABEL(summary_), 0);
  gtk_label_set_wrap(GTK_LABEL(summary_), TRUE);
  gtk_widget_set_hexpand(summary_, TRUE);
  GtkWidget* weekLabel = gtk_label_new("7 days");
  week_ = gtk_switch_new();
  gtk_widget_set_valign(week_, GTK_ALIGN_CENTER);
  gtk_accessible_update_property(GTK_ACCESSIBLE(week_), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 "Show 7 days", -1);
  g_signal_connect(week_, "notify::active", G_CALLBACK(+[](GObject*, GParamSpec*, void* s) {
                     static_cast<DeviceHistoryPage*>(s)->reload();
                   }),
                   this);
  gtk_box_append(GTK_BOX(top), summary_);
  gtk_box_append(GTK_BOX(top), weekLabel);
  gtk_box_append(GTK_BOX(top), week_);
  chart_ = nuv_history_chart_new();
  gtk_widget_set_vexpand(chart_, TRUE);
  health_ = gtk_label_new(nullptr);
  gtk_label_set_xalign(GTK_LABEL(health_), 0);
  gtk_widget_add_css_class(health_, "dim-label");
  gtk_box_append(GTK_BOX(box), top);
  gtk_box_append(GTK_BOX(box), chart_);
  gtk_box_append(GTK_BOX(box), health_);
  gtk_window_set_child(GTK_WINDOW(window_.get()), box);
}

DeviceHistoryPage::~DeviceHistoryPage() {
  if (call_) g_cancellable_cancel(call_.get());
  gtk_window_destroy(GTK_WINDOW(window_.get()));
}

void DeviceHistoryPage::open(const std::string& key,
                             const std::map<std::string, std::string>& entry) {
  key_ = key;
  showEntry(entry);
  reload();
  gtk_window_present(GTK_WINDOW(window_.get()));
}

void DeviceHistoryPage::entryChanged(const std::string& key,
                                     const std::map<std::string, std::string>& entry) {
  if (key != key_ || !gtk_widget_get_visible(window_.get())) return;
  showEntry(entry);
  reload();
}

void DeviceHistoryPage::showEntry(const std::map<std::string, std::string>& entry) {
  auto name = entry.find("name");
  const std::string shown = name != entry.end() ? name->second : key_;
  gtk_window_set_title(GTK_WINDOW(window_.get()), shown.c_str());
  const std::string label = "Battery history of " + shown;
  gtk_accessible_update_property(GTK_ACCESSIBLE(chart_), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 label.c_str(), -1);
  const std::string health = HistorySummary::health(entry);
  gtk_label_set_text(GTK_LABEL(health_), health.c_str());
  gtk_widget_set_visible(health_, !health.empty());
}

void DeviceHistoryPage::reload() {
  if (call_) g_cancellable_cancel(call_.get());
  call_.reset(g_cancellable_new());
  to_ = clock_.now();
  const auto span = gtk_switch_get_active(GTK_SWITCH(week_)) ? std::chrono::hours(24 * 7)
                                                             : std::chrono::hours(24);
  from_ = nuv::Date{to_.time - span};
  g_dbus_connection_call(
      bus_.get(), nuv::bus::kHostServiceName, nuv::bus::kHostServicePath,
      nuv::bus::kHostServiceInterface, nuv::bus::kGetHistoryMethod,
      g_variant_new("(sx)", key_.c_str(), static_cast<gint64>(from_.microseconds())),
      G_VARIANT_TYPE("(a(xybb)a(xx))"), G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs,
      call_.get(), onReply, this);
}

void DeviceHistoryPage::onReply(GObject* bus, GAsyncResult* result, void* data) {
  GError* raw = nullptr;
  nuv::glib::Variant reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, &raw));
  nuv::glib::Error error(raw);
  if (cancelled(error.get())) return;  // `data` may be gone
  auto* self = static_cast<DeviceHistoryPage*>(data);
  auto history = nuv::linux_backend::historyFromVariant(reply.get());
  std::string summary;
  if (history) {
    summary = HistorySummary::line(*history, self->to_);
  } else {
    history.emplace();
    summary = std::string("History unavailable: ") + (error ? error->message : "bad reply");
  }
  nuv_history_chart_set(NUV_HISTORY_CHART(self->chart_), *history, self->from_, self->to_);
  gtk_label_set_text(GTK_LABEL(self->summary_), summary.c_str());
  gtk_accessible_update_property(GTK_ACCESSIBLE(self->chart_), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                 summary.c_str(), -1);
}

}  // namespace nuvdevices
