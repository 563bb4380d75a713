#pragma once

#include <gtk/gtk.h>

#include "platform/HistoryStore.h"

G_BEGIN_DECLS

// A device's battery over a span of time, drawn with GTK's snapshot API: the
// level as a line that holds until the next change, the spans in which the
// device charged shaded, and the times the module did not watch left empty.
// Accessible role: image; its owner sets the label.
G_DECLARE_FINAL_TYPE(NuvHistoryChart, nuv_history_chart, NUV, HISTORY_CHART, GtkWidget)

GtkWidget* nuv_history_chart_new(void);

G_END_DECLS

// Shows `history` over [from, to) and redraws.
void nuv_history_chart_set(NuvHistoryChart* chart, const nuv::DeviceHistory& history,
                           nuv::Date from, nuv::Date to);
