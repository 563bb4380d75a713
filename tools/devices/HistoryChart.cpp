#include "HistoryChart.h"

#include <glib/gi18n.h>

#include <algorithm>
#include <string>

#include "ChartPaint.h"
#include "HistorySummary.h"
#include "client/DeviceStatus.h"

namespace {

using nuvdevices::ChartPaint;

struct ChartData {
  nuv::DeviceHistory history;
  nuv::Date from;
  nuv::Date to;
};

constexpr float kAxisWidth = 40;    // room for the level labels on the left
constexpr float kLabelHeight = 18;  // room for the time labels below
constexpr float kLine = 2;

}  // namespace

struct _NuvHistoryChart {
  GtkWidget parent;
  ChartData* data;
};

G_DEFINE_FINAL_TYPE(NuvHistoryChart, nuv_history_chart, GTK_TYPE_WIDGET)

namespace {

void snapshotChart(GtkWidget* widget, GtkSnapshot* snapshot) {
  const ChartData& d = *NUV_HISTORY_CHART(widget)->data;
  const float width = static_cast<float>(gtk_widget_get_width(widget));
  const float height = static_cast<float>(gtk_widget_get_height(widget));
  const float left = kAxisWidth, top = 8, right = width - 8, bottom = height - kLabelHeight - 4;
  if (right <= left || bottom <= top) return;
  const double span = static_cast<double>(d.to.microseconds() - d.from.microseconds());
  auto x = [&](nuv::Date t) {
    const double f = span > 0 ? (t.microseconds() - d.from.microseconds()) / span : 0;
    return left + static_cast<float>(std::clamp(f, 0.0, 1.0)) * (right - left);
  };
  auto y = [&](int level) { return bottom - (bottom - top) * static_cast<float>(level) / 100.f; };

  const GdkRGBA grid = ChartPaint::color(ChartPaint::kGrid);
  const GdkRGBA text = ChartPaint::color(ChartPaint::kText);
  const GdkRGBA charging = ChartPaint::color("rgba(46,194,126,0.28)");
  const GdkRGBA line = ChartPaint::color(ChartPaint::kLine);
  for (int level : {0, 50, 100}) {
    ChartPaint::rect(snapshot, grid, left, y(level), right - left, 1);
    ChartPaint::text(widget, snapshot, nuvclient::DeviceStatus::percentText(level), 2, y(level) - 8,
                     text);
  }

  // Where each sample's value ends: the next sample, a gap, or the end.
  const auto& samples = d.history.samples;
  auto endOf = [&](std::size_t i) {
    nuv::Date end = i + 1 < samples.size() ? samples[i + 1].time : d.to;
    for (const auto& gap : d.history.gaps) {
      if (gap.start >= samples[i].time && gap.start < end) end = gap.start;
    }
    return end;
  };
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (samples[i].charging) {
      ChartPaint::rect(snapshot, charging, x(samples[i].time), top,
                       x(endOf(i)) - x(samples[i].time), bottom - top);
    }
  }
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const float x0 = x(samples[i].time), x1 = x(endOf(i)), y0 = y(samples[i].level);
    ChartPaint::rect(snapshot, line, x0, y0 - kLine / 2, x1 - x0 + kLine / 2, kLine);
    // Joined to the next level unless the module stopped watching between.
    if (i + 1 < samples.size() && endOf(i) == samples[i + 1].time) {
      const float y1 = y(samples[i + 1].level);
      ChartPaint::rect(snapshot, line, x1 - kLine / 2, std::min(y0, y1) - kLine / 2, kLine,
                       std::abs(y1 - y0) + kLine);
    }
  }
  ChartPaint::rect(snapshot, grid, left, bottom, right - left, 1);
  ChartPaint::text(widget, snapshot, nuvdevices::HistorySummary::clock(d.from, d.to), left,
                   bottom + 4, text);
  // At the right end of the time axis.
  const std::string now = C_("time axis", "now");
  ChartPaint::text(widget, snapshot, now, right - ChartPaint::textWidth(widget, now), bottom + 4,
                   text);
}

}  // namespace

static void nuv_history_chart_snapshot(GtkWidget* widget, GtkSnapshot* snapshot) {
  snapshotChart(widget, snapshot);
}

static void nuv_history_chart_finalize(GObject* object) {
  delete NUV_HISTORY_CHART(object)->data;
  G_OBJECT_CLASS(nuv_history_chart_parent_class)->finalize(object);
}

static void nuv_history_chart_class_init(NuvHistoryChartClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = nuv_history_chart_finalize;
  GTK_WIDGET_CLASS(klass)->snapshot = nuv_history_chart_snapshot;
  gtk_widget_class_set_accessible_role(GTK_WIDGET_CLASS(klass), GTK_ACCESSIBLE_ROLE_IMG);
  gtk_widget_class_set_css_name(GTK_WIDGET_CLASS(klass), "historychart");
}

static void nuv_history_chart_init(NuvHistoryChart* chart) {
  chart->data = new ChartData;
  gtk_widget_set_size_request(GTK_WIDGET(chart), 320, 160);
}

GtkWidget* nuv_history_chart_new() {
  return GTK_WIDGET(g_object_new(nuv_history_chart_get_type(), nullptr));
}

void nuv_history_chart_set(NuvHistoryChart* chart, const nuv::DeviceHistory& history,
                           nuv::Date from, nuv::Date to) {
  *chart->data = {history, from, to};
  gtk_widget_queue_draw(GTK_WIDGET(chart));
}
