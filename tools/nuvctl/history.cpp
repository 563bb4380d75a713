#include <glib/gi18n.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Commands.h"
#include "DeviceSelection.h"
#include "TextTable.h"
#include "WatchView.h"
#include "client/DeviceStatus.h"
#include "client/HostClient.h"
#include "platform/linux/runtime/IsoDate.h"
#include "platform/linux/runtime/LocaleText.h"

namespace nuvctl {

using nuvclient::DeviceStatus;
using nuvclient::HostClient;
namespace {

using nuv::linux_backend::IsoDate;
using nuv::linux_backend::LocaleText;

constexpr const char* kHistorySummary =
    // TRANSLATORS: GetHistory, --since, --json and the JSON example stay as they are.
    N_("Shows the battery history the module keeps (90 days): every change of a\n"
       "device's level, charging or external power, read with the module's\n"
       "GetHistory method (vemo.Tallyport.NUVModule1 on the session bus). DEVICE\n"
       "is a device's name or its Bonjour value (UDID), also of a device that is\n"
       "gone; without it, every device the module reports now or that has\n"
       "history (changes or health readings) since --since. The table shows the\n"
       "time (UTC), the level, whether the device charged and whether it was on\n"
       "external power, and the times the module did not watch (stopped or\n"
       "asleep).\n"
       "\n"
       "With --json: one JSON array of the changes, oldest first:\n"
       "  [{\"time\": \"2026-12-06T18:30:12Z\", \"battery\": 87, \"charging\": true,\n"
       "    \"external\": true, \"device\": \"<UDID>\"}, ...]");

constexpr const char* kHistoryDescription =
    N_("--since takes a duration back from now (90m, 24h, 7d) or an ISO 8601 date\n"
       "(2026-12-01, 2026-12-01T08:00:00Z); the default is 24h.\n"
       "\n"
       "Exit status: 0 when the history was shown (a device without history\n"
       "shows none); 1 when no module is running, the session bus cannot be\n"
       "reached or the module did not answer; 2 on a usage error.");

struct Shown {
  DeviceSelection::Device device;
  nuv::DeviceHistory history;
};

std::string yesNo(bool b) { return b ? _("yes") : _("no"); }

std::string table(const std::vector<Shown>& shown, nuv::Date since) {
  using Align = TextTable::Align;
  std::string out;
  for (const auto& s : shown) {
    out += DeviceSelection::heading(s.device) + "\n";
    if (s.history.samples.empty() && s.history.gaps.empty()) {
      out += "  " +
             // TRANSLATORS: %s is a time in UTC.
             LocaleText::format(_("no changes since %s"), LocaleText::utcTime(since).c_str()) +
             "\n";
      continue;
    }
    // Samples and gaps in time order; a gap goes before a sample at its end.
    struct Event {
      nuv::Date time;
      const nuv::BatterySample* sample;
      const nuv::HistoryGap* gap;
    };
    std::vector<Event> events;
    for (const auto& sample : s.history.samples) events.push_back({sample.time, &sample, nullptr});
    for (const auto& gap : s.history.gaps) events.push_back({gap.start, nullptr, &gap});
    std::stable_sort(events.begin(), events.end(),
                     [](const Event& a, const Event& b) { return a.time < b.time; });
    // TRANSLATORS: the column headings of nuvctl history: the time, the
    // battery level, whether it charged, whether it was on external power.
    TextTable rows({{_("TIME"), Align::Left, 0},
                    {_("LEVEL"), Align::Right, 0},
                    {_("CHARGING"), Align::Left, 8},
                    {_("EXTERNAL"), Align::Left, 0}},
                   "  ");
    for (const auto& e : events) {
      if (e.sample) {
        rows.add({LocaleText::utcTime(e.time), DeviceStatus::percentText(e.sample->level),
                  yesNo(e.sample->charging), yesNo(e.sample->external)});
      } else {
        // TRANSLATORS: a time the module did not watch, from one time in UTC to another.
        rows.note("  " + LocaleText::format(_("-- not watched from %s to %s --"),
                                            LocaleText::utcTime(e.gap->start).c_str(),
                                            LocaleText::utcTime(e.gap->end).c_str()));
      }
    }
    out += rows.text();
  }
  return out;
}

std::string json(const std::vector<Shown>& shown) {
  DeviceSelection::TimedRows rows;
  for (const auto& s : shown) {
    for (const auto& sample : s.history.samples) {
      rows.emplace_back(sample.time, nlohmann::json{{"time", IsoDate::format(sample.time)},
                                                    {"battery", sample.level},
                                                    {"charging", sample.charging},
                                                    {"external", sample.external},
                                                    {"device", s.device.device}});
    }
  }
  return DeviceSelection::jsonArray(std::move(rows));
}

}  // namespace

int runHistory(Args args) {
  bool asJson = false;
  std::optional<std::string> sinceText;
  // TRANSLATORS: the usage line of nuvctl history and health.
  CommandLine line("nuvctl history", _("[DEVICE]"), _(kHistorySummary), _(kHistoryDescription));
  DeviceSelection::declare(line, _("One JSON array of the changes instead of the table"), &asJson,
                           &sinceText);
  if (auto status = line.parse(args)) return *status;
  const nuv::Date now = WatchView::now();
  const auto since = DeviceSelection::since(sinceText.value_or("24h"), now);
  if (!since) {
    return line.usageError(DeviceSelection::badSince(*sinceText));
  }
  HostClient client = HostClient::onSessionBus("nuvctl history");
  if (!client) return 1;
  std::vector<DeviceSelection::Device> devices;
  if (!DeviceSelection::select(client, "nuvctl history", args, *since, &devices)) return 1;
  std::vector<Shown> shown;
  for (auto& device : devices) shown.push_back({std::move(device), {}});
  std::string error;
  for (auto& s : shown) {
    if (!HostClient::succeeded(client.history(s.device.device, *since, &s.history, &error),
                               "nuvctl history", _("cannot read the history"), error)) {
      return 1;
    }
  }
  std::fputs((asJson ? json(shown) : table(shown, *since)).c_str(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace nuvctl
