#include "HealthChart.h"

#include <glib/gi18n.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "ChartPaint.h"
#include "HistorySummary.h"
#include "client/DeviceStatus.h"
#include "platform/linux/GlibHandles.h"
#include "platform/linux/runtime/LocaleText.h"

namespace {

using nuv::linux_backend::LocaleText;
using nuvclient::DeviceStatus;
using nuvdevices::ChartPaint;

struct Point {
  std::int64_t us;
  int percent;
};

struct ChartData {
  std::vector<Point> points;  // time order
  std::optional<nuv::Date> projected;
  nuv::Date now;
};

constexpr float kAxisWidth = 40;    // room for the percent labels on the left
constexpr float kLabelHeight = 18;  // room for the month labels below
constexpr float kLine = 2;
constexpr std::int64_t kDay = 86'400'000'000;
// The least time shown, so that a few days of rows are not stretched
// across the whole width.
constexpr std::int64_t kLeastSpan = 90 * kDay;
constexpr int kThreshold = 80;
constexpr const char* kThresholdColor = "rgba(230,97,0,0.85)";
constexpr const char* kThresholdText = "#c64600";

std::string monthText(std::int64_t us, const char* format) {
  return nuvdevices::HistorySummary::date(nuv::Date::fromMicroseconds(us), format);
}

// The first day of a month, local time, as microseconds since the epoch.
std::int64_t monthStart(int year, int month) {
  nuv::glib::DateTime time(g_date_time_new_local(year, month, 1, 0, 0, 0));
  return time ? g_date_time_to_unix(time.get()) * 1'000'000 : 0;
}

}  // namespace

struct _NuvHealthChart {
  GtkWidget parent;
  ChartData* data;
};

G_DEFINE_FINAL_TYPE(NuvHealthChart, nuv_health_chart, GTK_TYPE_WIDGET)

namespace {

// A dashed horizontal line from x0 to x1.
void dashes(GtkSnapshot* snapshot, const GdkRGBA& color, float x0, float x1, float y) {
  for (float x = x0; x < x1; x += 10)
    ChartPaint::rect(snapshot, color, x, y, std::min(6.f, x1 - x), 1.5f);
}

// A dotted line from (x0, y0) towards (x1, y1), drawn up to `limit` on the x axis.
void dots(GtkSnapshot* snapshot, const GdkRGBA& color, float x0, float y0, float x1, float y1,
          float limit) {
  const float length = std::hypot(x1 - x0, y1 - y0);
  const int steps = static_cast<int>(length / 5);
  for (int i = 0; i <= steps; ++i) {
    const float f = steps ? static_cast<float>(i) / static_cast<float>(steps) : 0;
    const float x = x0 + (x1 - x0) * f, y = y0 + (y1 - y0) * f;
    if (x > limit) break;
    ChartPaint::rect(snapshot, color, x - 1.25f, y - 1.25f, 2.5f, 2.5f);
  }
}

void snapshotChart(GtkWidget* widget, GtkSnapshot* snapshot) {
  const ChartData& d = *NUV_HEALTH_CHART(widget)->data;
  const float width = static_cast<float>(gtk_widget_get_width(widget));
  const float height = static_cast<float>(gtk_widget_get_height(widget));
  const float left = kAxisWidth, top = 8, right = width - 8, bottom = height - kLabelHeight - 4;
  if (right <= left || bottom <= top) return;

  // The time shown: the rows, at least kLeastSpan up to now, and room for
  // the projection, at most as much again.
  const std::int64_t now = d.now.microseconds();
  std::int64_t from = now - kLeastSpan, to = now;
  if (!d.points.empty()) from = std::min(from, d.points.front().us);
  if (d.projected) {
    const std::int64_t shown = now - from;
    to = std::clamp(d.projected->microseconds() + shown / 12, now, now + shown);
  }
  auto x = [&](std::int64_t us) {
    const double f = static_cast<double>(us - from) / static_cast<double>(to - from);
    return left + static_cast<float>(std::clamp(f, 0.0, 1.0)) * (right - left);
  };
  // The percentages shown: 75 to 100 at least, whole fives around the rows.
  int lowest = kThreshold, highest = 100;
  for (const auto& p : d.points) {
    lowest = std::min(lowest, p.percent);
    highest = std::max(highest, p.percent);
  }
  const int low = std::max(0, std::min(75, (lowest - 3) / 5 * 5));
  const int high = (highest + 4) / 5 * 5;
  auto y = [&](double percent) {
    return bottom - (bottom - top) * static_cast<float>((percent - low) / (high - low));
  };

  const GdkRGBA grid = ChartPaint::color(ChartPaint::kGrid);
  const GdkRGBA text = ChartPaint::color(ChartPaint::kText);
  const GdkRGBA line = ChartPaint::color(ChartPaint::kLine);
  const GdkRGBA area = ChartPaint::color("rgba(53,132,228,0.12)");
  const GdkRGBA threshold = ChartPaint::color(kThresholdColor);
  const GdkRGBA thresholdText = ChartPaint::color(kThresholdText);

  for (int percent = (low + 9) / 10 * 10; percent <= high; percent += 10) {
    if (percent != kThreshold) ChartPaint::rect(snapshot, grid, left, y(percent), right - left, 1);
    ChartPaint::text(widget, snapshot, DeviceStatus::percentText(percent), 2, y(percent) - 8,
                     percent == kThreshold ? thresholdText : text);
  }
  if (low % 10)
    ChartPaint::text(widget, snapshot, DeviceStatus::percentText(low), 2, bottom - 8, text);

  // Months along the bottom, as many as fit: every 1, 2, 3, 6, 12 or 24.
  nuv::glib::DateTime first(g_date_time_new_from_unix_local(from / 1'000'000));
  const int year = first ? g_date_time_get_year(first.get()) : 1970;
  const int month = first ? g_date_time_get_month(first.get()) : 1;
  const double months = static_cast<double>(to - from) / (30.44 * kDay);
  const int fit = std::max(1, static_cast<int>((right - left) / 84));
  int step = 24;
  for (int s : {1, 2, 3, 6, 12}) {
    if (months / s <= fit) {
      step = s;
      break;
    }
  }
  for (int m = (year * 12 + month - 1) / step * step + step;; m += step) {
    const std::int64_t at = monthStart(m / 12, m % 12 + 1);
    if (!at || at >= to) break;  // past the end, or a date GLib cannot hold
    if (at <= from) continue;
    // TRANSLATORS: g_date_time_format() format of a month on a chart's axis ("Mar 2024").
    const std::string label = monthText(at, step >= 12 ? "%Y" : _("%b %Y"));
    const float labelWidth = ChartPaint::textWidth(widget, label);
    ChartPaint::rect(snapshot, grid, x(at), top, 1, bottom - top);
    const float labelX = std::clamp(x(at) - labelWidth / 2, left, right - labelWidth);
    ChartPaint::text(widget, snapshot, label, labelX, bottom + 4, text);
  }
  ChartPaint::rect(snapshot, grid, left, bottom, right - left, 1);

  // Each reading holds until the next one; the last one until now.
  const auto& points = d.points;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const float x0 = x(points[i].us), x1 = x(i + 1 < points.size() ? points[i + 1].us : now);
    const float y0 = y(points[i].percent);
    ChartPaint::rect(snapshot, area, x0, y0, x1 - x0, bottom - y0);
  }
  dashes(snapshot, threshold, left, right, y(kThreshold) - 0.75f);
  for (std::size_t i = 0; i < points.size(); ++i) {
    const bool last = i + 1 == points.size();
    const float x0 = x(points[i].us), x1 = x(last ? now : points[i + 1].us);
    const float y0 = y(points[i].percent);
    ChartPaint::rect(snapshot, line, x0, y0 - kLine / 2, x1 - x0 + kLine / 2, kLine);
    if (!last) {
      const float y1 = y(points[i + 1].percent);
      ChartPaint::rect(snapshot, line, x1 - kLine / 2, std::min(y0, y1) - kLine / 2, kLine,
                       std::abs(y1 - y0) + kLine);
    }
  }

  // The projection: from the last reading to the day of 80 %, which is
  // marked when it is within the chart and named in either case.
  if (d.projected && !points.empty()) {
    const std::int64_t at = d.projected->microseconds();
    const double span = static_cast<double>(to - from);
    const float reach = left + static_cast<float>((at - from) / span) * (right - left);
    dots(snapshot, threshold, x(points.back().us), y(points.back().percent), reach, y(kThreshold),
         right);
    // TRANSLATORS: the battery's capacity (80%) and the month it is expected in.
    const std::string label =
        LocaleText::format(_("%d%% around %s"), kThreshold, monthText(at, _("%b %Y")).c_str());
    const float labelWidth = ChartPaint::textWidth(widget, label);
    const float mark = std::min(reach, right);
    if (reach <= right) ChartPaint::rect(snapshot, threshold, mark - 3, y(kThreshold) - 3, 6, 6);
    ChartPaint::text(widget, snapshot, label,
                     std::clamp(mark - labelWidth, left, right - labelWidth), y(kThreshold) + 4,
                     thresholdText);
  }
}

}  // namespace

static void nuv_health_chart_snapshot(GtkWidget* widget, GtkSnapshot* snapshot) {
  snapshotChart(widget, snapshot);
}

static void nuv_health_chart_finalize(GObject* object) {
  delete NUV_HEALTH_CHART(object)->data;
  G_OBJECT_CLASS(nuv_health_chart_parent_class)->finalize(object);
}

static void nuv_health_chart_class_init(NuvHealthChartClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = nuv_health_chart_finalize;
  GTK_WIDGET_CLASS(klass)->snapshot = nuv_health_chart_snapshot;
  gtk_widget_class_set_accessible_role(GTK_WIDGET_CLASS(klass), GTK_ACCESSIBLE_ROLE_IMG);
  gtk_widget_class_set_css_name(GTK_WIDGET_CLASS(klass), "healthchart");
}

static void nuv_health_chart_init(NuvHealthChart* chart) {
  chart->data = new ChartData;
  gtk_widget_set_size_request(GTK_WIDGET(chart), 320, 100);
}

GtkWidget* nuv_health_chart_new() {
  return GTK_WIDGET(g_object_new(nuv_health_chart_get_type(), nullptr));
}

void nuv_health_chart_set(NuvHealthChart* chart, const std::vector<nuv::HealthReading>& rows,
                          std::optional<nuv::Date> projected80, nuv::Date now) {
  ChartData& d = *chart->data;
  d.points.clear();
  for (const auto& row : rows) {
    if (row.maxCapacity) d.points.push_back({row.time.microseconds(), *row.maxCapacity});
  }
  std::stable_sort(d.points.begin(), d.points.end(),
                   [](const Point& a, const Point& b) { return a.us < b.us; });
  d.projected = projected80;
  d.now = now;
  gtk_widget_queue_draw(GTK_WIDGET(chart));
}
