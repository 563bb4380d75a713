#pragma once

#include <gtk/gtk.h>

#include <optional>
#include <vector>

#include "platform/HistoryStore.h"

G_BEGIN_DECLS

// A battery's maximum capacity over the months its health rows cover, drawn
// with GTK's snapshot API like the history chart: each day's reading as a
// line that holds until the next one, the 80 % line, and, when there is a
// projection, a dotted line from the last reading to the day it is expected
// to reach 80 %. Accessible role: image; its owner sets the label and the
// description.
G_DECLARE_FINAL_TYPE(NuvHealthChart, nuv_health_chart, NUV, HEALTH_CHART, GtkWidget)

GtkWidget* nuv_health_chart_new(void);

G_END_DECLS

// Shows `rows` (oldest first; rows without a maximum capacity are left out)
// up to `now`, with the projected date of 80 % when there is one, and
// redraws.
void nuv_health_chart_set(NuvHealthChart* chart, const std::vector<nuv::HealthReading>& rows,
                          std::optional<nuv::Date> projected80, nuv::Date now);
