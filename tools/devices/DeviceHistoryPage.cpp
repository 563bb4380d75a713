#include "DeviceHistoryPage.h"

#include <glib/gi18n.h>

#include <chrono>

#include "HealthChart.h"
#include "HistoryChart.h"
#include "HistorySummary.h"
#include "client/DeviceStatus.h"
#include "client/HealthTrend.h"
#include "platform/BusNames.h"
#include "platform/Clock.h"
#include "platform/linux/runtime/LocaleText.h"

namespace nuvdevices {
namespace {

using nuv::linux_backend::LocaleText;
using nuvclient::HostClient;

constexpr const char* kHistoryTab = "history";
constexpr const char* kBatteryTab = "battery";

GtkWidget* textLine(const char* cssClass) {
  GtkWidget* label = gtk_label_new(nullptr);
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  gtk_label_set_wrap(GTK_LABEL(label), TRUE);
  if (cssClass) gtk_widget_add_css_class(label, cssClass);
  return label;
}

GtkWidget* tab(GtkWidget* stack, const char* name, const char* title) {
  GtkWidget* page = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_stack_add_titled(GTK_STACK(stack), page, name, title);
  return page;
}

std::string unavailable(HostClient::Result outcome, const std::string& error) {
  return outcome == HostClient::Result::NoModule ? _(HostClient::kNoModule) : error;
}

}  // namespace

DeviceHistoryPage::DeviceHistoryPage(GDBusConnection* bus, const nuv::Clock& clock)
    : host_(bus, nuv::bus::kHostServiceName, kCallTimeoutMs), clock_(clock) {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
  box_.reset(GTK_WIDGET(g_object_ref_sink(box)));
  gtk_widget_add_css_class(box, "history-page");
  tabs_ = gtk_stack_new();
  gtk_stack_set_transition_type(GTK_STACK(tabs_), GTK_STACK_TRANSITION_TYPE_CROSSFADE);
  gtk_widget_set_vexpand(tabs_, TRUE);

  GtkWidget* top = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  GtkWidget* switcher = gtk_stack_switcher_new();
  gtk_stack_switcher_set_stack(GTK_STACK_SWITCHER(switcher), GTK_STACK(tabs_));
  gtk_widget_set_hexpand(switcher, TRUE);
  gtk_widget_set_halign(switcher, GTK_ALIGN_START);
  gtk_accessible_update_property(GTK_ACCESSIBLE(switcher), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 _("Device page"), -1);
  const unsigned long weekDays = 7;
  weekLabel_ = gtk_label_new(
      LocaleText::format(ngettext("%lu day", "%lu days", weekDays), weekDays).c_str());
  week_ = gtk_switch_new();
  gtk_widget_set_valign(week_, GTK_ALIGN_CENTER);
  gtk_accessible_update_property(
      GTK_ACCESSIBLE(week_), GTK_ACCESSIBLE_PROPERTY_LABEL,
      LocaleText::format(ngettext("Show %lu day", "Show %lu days", weekDays), weekDays).c_str(),
      -1);
  g_signal_connect(week_, "notify::active", G_CALLBACK(+[](GObject*, GParamSpec*, void* s) {
                     auto* self = static_cast<DeviceHistoryPage*>(s);
                     if (!self->key_.empty()) self->reload();
                   }),
                   this);
  gtk_box_append(GTK_BOX(top), switcher);
  gtk_box_append(GTK_BOX(top), weekLabel_);
  gtk_box_append(GTK_BOX(top), week_);
  notice_ = textLine("history-notice");
  gtk_widget_set_visible(notice_, FALSE);

  GtkWidget* history = tab(tabs_, kHistoryTab, _("History"));
  summary_ = textLine(nullptr);
  chart_ = nuv_history_chart_new();
  gtk_widget_set_vexpand(chart_, TRUE);
  gtk_box_append(GTK_BOX(history), summary_);
  gtk_box_append(GTK_BOX(history), chart_);

  GtkWidget* battery = tab(tabs_, kBatteryTab, _("Battery"));
  facts_ = gtk_grid_new();
  gtk_widget_add_css_class(facts_, "battery-facts");
  gtk_grid_set_column_spacing(GTK_GRID(facts_), 12);
  gtk_grid_set_row_spacing(GTK_GRID(facts_), 4);
  factsNote_ = textLine("dim-label");
  healthChart_ = nuv_health_chart_new();
  gtk_widget_set_vexpand(healthChart_, TRUE);
  healthSummary_ = textLine(nullptr);
  gtk_box_append(GTK_BOX(battery), facts_);
  gtk_box_append(GTK_BOX(battery), factsNote_);
  gtk_box_append(GTK_BOX(battery), healthChart_);
  gtk_box_append(GTK_BOX(battery), healthSummary_);
  g_signal_connect(tabs_, "notify::visible-child", G_CALLBACK(+[](GObject*, GParamSpec*, void* s) {
                     static_cast<DeviceHistoryPage*>(s)->tabChanged();
                   }),
                   this);

  gtk_box_append(GTK_BOX(box), top);
  gtk_box_append(GTK_BOX(box), notice_);
  gtk_box_append(GTK_BOX(box), tabs_);
  tabChanged();
}

DeviceHistoryPage::~DeviceHistoryPage() {
  close();
  // The widgets may outlive this object.
  g_signal_handlers_disconnect_by_data(week_, this);
  g_signal_handlers_disconnect_by_data(tabs_, this);
}

void DeviceHistoryPage::tabChanged() {
  // A stack keeps its hidden page in the accessibility tree: screen readers
  // are told it is hidden. The week switch belongs to the history.
  const char* shown = gtk_stack_get_visible_child_name(GTK_STACK(tabs_));
  for (const char* name : {kHistoryTab, kBatteryTab}) {
    GtkWidget* page = gtk_stack_get_child_by_name(GTK_STACK(tabs_), name);
    gtk_accessible_update_state(GTK_ACCESSIBLE(page), GTK_ACCESSIBLE_STATE_HIDDEN,
                                g_strcmp0(shown, name) != 0, -1);
  }
  const bool history = g_strcmp0(shown, kHistoryTab) == 0;
  gtk_widget_set_visible(weekLabel_, history);
  gtk_widget_set_visible(week_, history);
}

void DeviceHistoryPage::open(const std::string& key) {
  close();
  key_ = name_ = key;
  entry_.reset();
  stale_ = healthStale_ = true;
  gtk_stack_set_visible_child_name(GTK_STACK(tabs_), kHistoryTab);
  // Nothing of the device shown before stays while its rows are read.
  const nuv::Date now = clock_.now();
  nuv_history_chart_set(NUV_HISTORY_CHART(chart_), {}, nuv::Date{now.time - span()}, now);
  nuv_health_chart_set(NUV_HEALTH_CHART(healthChart_), {}, std::nullopt, now);
  gtk_label_set_text(GTK_LABEL(summary_), _("Reading the history\u2026"));
  gtk_label_set_text(GTK_LABEL(healthSummary_), _("Reading the battery's health\u2026"));
  showBattery(nuvclient::DeviceEntry{key, {}, std::nullopt});
}

void DeviceHistoryPage::close() {
  for (auto* call : {&call_, &healthCall_}) {
    if (*call) g_cancellable_cancel(call->get());
    call->reset();
  }
  key_.clear();
}

DeviceHistoryPage::Fields DeviceHistoryPage::healthOf(const Fields& fields) {
  Fields health;
  for (const char* key : {"BatteryCycleCount", "BatteryFullChargeCapacity", "BatteryDesignCapacity",
                          "BatteryMaxCapacity"}) {
    if (auto it = fields.find(key); it != fields.end()) health.insert(*it);
  }
  return health;
}

void DeviceHistoryPage::update(const nuvclient::DeviceEntry* entry, const std::string& name,
                               const std::string& notice) {
  if (key_.empty()) return;
  if (!name.empty()) name_ = name;
  // TRANSLATORS: the charts' names for screen readers; %s is the device's name.
  const std::string label = LocaleText::format(_("Battery history of %s"), name_.c_str());
  gtk_accessible_update_property(GTK_ACCESSIBLE(chart_), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 label.c_str(), -1);
  const std::string healthLabel = LocaleText::format(_("Battery health of %s"), name_.c_str());
  gtk_accessible_update_property(GTK_ACCESSIBLE(healthChart_), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 healthLabel.c_str(), -1);
  gtk_label_set_text(GTK_LABEL(notice_), notice.c_str());
  gtk_widget_set_visible(notice_, !notice.empty());
  if (entry) {
    showBattery(*entry);
    if (entry_ != entry->fields) stale_ = true;
    if (!entry_ || healthOf(*entry_) != healthOf(entry->fields)) healthStale_ = true;
    entry_ = entry->fields;
  }
  if (stale_) reload();
  if (healthStale_) reloadHealth();
}

void DeviceHistoryPage::showBattery(const nuvclient::DeviceEntry& entry) {
  auto items = BatterySection::items(entry);
  if (items == shownFacts_ && !items.empty()) return;
  for (GtkWidget* child; (child = gtk_widget_get_first_child(facts_));) {
    gtk_grid_remove(GTK_GRID(facts_), child);
  }
  // Two columns of pairs, filled top to bottom: screen readers read them in
  // the order of the list.
  const int rows = static_cast<int>(items.size() + 1) / 2;
  for (int i = 0; i < static_cast<int>(items.size()); ++i) {
    GtkWidget* label = textLine("dim-label");
    gtk_label_set_text(GTK_LABEL(label), items[i].label.c_str());
    gtk_label_set_wrap(GTK_LABEL(label), FALSE);
    GtkWidget* value = textLine("battery-fact");
    gtk_label_set_text(GTK_LABEL(value), items[i].value.c_str());
    gtk_label_set_max_width_chars(GTK_LABEL(value), 30);
    gtk_widget_set_hexpand(value, TRUE);
    gtk_grid_attach(GTK_GRID(facts_), label, i / rows * 2, i % rows, 1, 1);
    gtk_grid_attach(GTK_GRID(facts_), value, i / rows * 2 + 1, i % rows, 1, 1);
  }
  const char* note = !items.empty() ? ""
                     : !nuvclient::DeviceStatus::trusted(entry)
                         ? _("Unlock the device and trust this computer to read its battery.")
                         : _("The device has not reported its battery's details yet.");
  gtk_label_set_text(GTK_LABEL(factsNote_), note);
  gtk_widget_set_visible(factsNote_, items.empty());
  gtk_widget_set_visible(facts_, !items.empty());
  shownFacts_ = std::move(items);
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

void DeviceHistoryPage::reloadHealth() {
  if (healthCall_) g_cancellable_cancel(healthCall_.get());
  healthCall_.reset(g_cancellable_new());
  healthStale_ = false;
  healthTo_ = clock_.now();
  // Every row the module keeps.
  host_.healthHistoryAsync(key_, nuv::Date{}, onHealthReply, this, healthCall_.get());
}

void DeviceHistoryPage::onReply(GObject* bus, GAsyncResult* result, void* data) {
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
    // TRANSLATORS: %s says why (no module running, or the bus's error).
    summary = LocaleText::format(_("History unavailable: %s"), unavailable(outcome, error).c_str());
  }
  nuv_history_chart_set(NUV_HISTORY_CHART(self->chart_), history, self->from_, self->to_);
  gtk_label_set_text(GTK_LABEL(self->summary_), summary.c_str());
  gtk_accessible_update_property(GTK_ACCESSIBLE(self->chart_), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                 summary.c_str(), -1);
}

void DeviceHistoryPage::onHealthReply(GObject* bus, GAsyncResult* result, void* data) {
  std::vector<nuv::HealthReading> rows;
  std::string error;
  const HostClient::Result outcome = HostClient::finishHealthHistory(bus, result, &rows, &error);
  if (outcome == HostClient::Result::Cancelled) return;  // `data` may be gone
  auto* self = static_cast<DeviceHistoryPage*>(data);
  std::optional<nuv::Date> projected;
  std::string summary;
  if (outcome == HostClient::Result::Ok) {
    projected = nuvclient::HealthTrend::projected80(rows);
    summary = HistorySummary::health(rows, projected);
  } else {
    self->healthStale_ = true;
    summary = LocaleText::format(_("Battery health unavailable: %s"),
                                 unavailable(outcome, error).c_str());
  }
  nuv_health_chart_set(NUV_HEALTH_CHART(self->healthChart_), rows, projected, self->healthTo_);
  gtk_label_set_text(GTK_LABEL(self->healthSummary_), summary.c_str());
  gtk_accessible_update_property(GTK_ACCESSIBLE(self->healthChart_),
                                 GTK_ACCESSIBLE_PROPERTY_DESCRIPTION, summary.c_str(), -1);
}

}  // namespace nuvdevices
