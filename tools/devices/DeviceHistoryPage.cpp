#include "DeviceHistoryPage.h"

#include <chrono>

#include "HistoryChart.h"
#include "HistorySummary.h"
#include "client/DeviceStatus.h"
#include "platform/BusNames.h"
#include "platform/Clock.h"

namespace nuvdevices {
namespace {

GtkWidget* textLine(const char* cssClass) {
  GtkWidget* label = gtk_label_new(nullptr);
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  gtk_label_set_wrap(GTK_LABEL(label), TRUE);
  if (cssClass) gtk_widget_add_css_class(label, cssClass);
  return label;
}

}  // namespace

DeviceHistoryPage::DeviceHistoryPage(GDBusConnection* bus, const nuv::Clock& clock)
    : host_(bus, nuv::bus::kHostServiceName, kCallTimeoutMs), clock_(clock) {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
  box_.reset(GTK_WIDGET(g_object_ref_sink(box)));
  gtk_widget_add_css_class(box, "history-page");
  GtkWidget* top = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  summary_ = textLine(nullptr);
  gtk_widget_set_hexpand(summary_, TRUE);
  GtkWidget* weekLabel = gtk_label_new("7 days");
  week_ = gtk_switch_new();
  gtk_widget_set_valign(week_, GTK_ALIGN_CENTER);
  gtk_accessible_update_property(GTK_ACCESSIBLE(week_), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 "Show 7 days", -1);
  g_signal_connect(week_, "notify::active", G_CALLBACK(+[](GObject*, GParamSpec*, void* s) {
                     auto* self = static_cast<DeviceHistoryPage*>(s);
                     if (!self->key_.empty()) self->reload();
                   }),
                   this);
  gtk_box_append(GTK_BOX(top), summary_);
  gtk_box_append(GTK_BOX(top), weekLabel);
  gtk_box_append(GTK_BOX(top), week_);
  notice_ = textLine("history-notice");
  gtk_widget_set_visible(notice_, FALSE);
  chart_ = nuv_history_chart_new();
  gtk_widget_set_vexpand(chart_, TRUE);
  health_ = textLine("dim-label");
  gtk_box_append(GTK_BOX(box), top);
  gtk_box_append(GTK_BOX(box), notice_);
  gtk_box_append(GTK_BOX(box), chart_);
  gtk_box_append(GTK_BOX(box), health_);
}

DeviceHistoryPage::~DeviceHistoryPage() {
  close();
  g_signal_handlers_disconnect_by_data(week_, this);  // the widget may outlive this object
}

void DeviceHistoryPage::open(const std::string& key) {
  close();
  key_ = name_ = key;
  entry_.reset();
  stale_ = true;
  // Nothing of the device shown before stays while the history is read.
  const nuv::Date now = clock_.now();
  nuv_history_chart_set(NUV_HISTORY_CHART(chart_), {}, nuv::Date{now.time - span()}, now);
  gtk_label_set_text(GTK_LABEL(summary_), "Reading the history\u2026");
  gtk_label_set_text(GTK_LABEL(health_), "");
  gtk_widget_set_visible(health_, FALSE);
}

void DeviceHistoryPage::close() {
  if (call_) g_cancellable_cancel(call_.get());
  call_.reset();
  key_.clear();
}

void DeviceHistoryPage::update(const nuvclient::DeviceEntry* entry, const std::string& name,
                               const std::string& notice) {
  if (key_.empty()) return;
  if (!name.empty()) name_ = name;
  const std::string label = "Battery history of " + name_;
  gtk_accessible_update_property(GTK_ACCESSIBLE(chart_), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 label.c_str(), -1);
  gtk_label_set_text(GTK_LABEL(notice_), notice.c_str());
  gtk_widget_set_visible(notice_, !notice.empty());
  if (entry) {
    const std::string health = nuvclient::DeviceStatus::healthLine(*entry);
    gtk_label_set_text(GTK_LABEL(health_), health.c_str());
    gtk_widget_set_visible(health_, !health.empty());
    if (entry_ != entry->fields) stale_ = true;
    entry_ = entry->fields;
  }
  if (stale_) reload();
}

std::chrono::hours DeviceHistoryPage::span() const {
  return std::chrono::hours(gtk_switch_get_active(GTK_SWITCH(week_)) ? 24 * 7 : 24);
}

void DeviceHistoryPage::reload() {
  if (call_) g_cancellable_cancel(call_.get());
  call_.reset(g_cancellable_new());
  stale_ = false;
  to_ = clock_.now();
  from_ = nuv::Date{to_.time - span()};
  host_.historyAsync(key_, from_, onReply, this, call_.get());
}

void DeviceHistoryPage::onReply(GObject* bus, GAsyncResult* result, void* data) {
  using nuvclient::HostClient;
  nuv::DeviceHistory history;
  std::string error;
  const HostClient::Result outcome = HostClient::finishHistory(bus, result, &history, &error);
  if (outcome == HostClient::Result::Cancelled) return;  // `data` may be gone
  auto* self = static_cast<DeviceHistoryPage*>(data);
  std::string summary;
  if (outcome == HostClient::Result::Ok) {
    summary = HistorySummary::line(history, self->to_);
  } else {
    self->stale_ = true;
    summary = std::string("History unavailable: ") +
              (outcome == HostClient::Result::NoModule ? HostClient::kNoModule : error);
  }
  nuv_history_chart_set(NUV_HISTORY_CHART(self->chart_), history, self->from_, self->to_);
  gtk_label_set_text(GTK_LABEL(self->summary_), summary.c_str());
  gtk_accessible_update_property(GTK_ACCESSIBLE(self->chart_), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                 summary.c_str(), -1);
}

}  // namespace nuvdevices
