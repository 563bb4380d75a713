#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "DeviceSelection.h"
#include "WatchView.h"
#include "client/HostClient.h"
#include "platform/linux/runtime/IsoDate.h"

namespace nuvctl {

using nuvclient::HostClient;
namespace {

using nuv::linux_backend::IsoDate;

constexpr const char* kHistorySummary =
    "Shows the battery history the module keeps (90 days): every change of a\n"
    "device's level, charging or external power, read with the module's\n"
    "GetHistory method (vemo.Tallyport.NUVModule1 on the session bus). DEVICE\n"
    "is a device's name or its Bonjour value (UDID), also of a device that is\n"
    "gone; without it, every device the module reports now or that has\n"
    "history (changes or health readings) since --since. The table shows the time (UTC), the "
    "level, whether the\n"
    "device charged and whether it was on external power, and the times the\n"
    "module did not watch (stopped or asleep).\n"
    "\n"
    "With --json: one JSON array of the changes, oldest first:\n"
    "  [{\"time\": \"2026-12-06T18:30:12Z\", \"battery\": 87, \"charging\": true,\n"
    "    \"external\": true, \"device\": \"<UDID>\"}, ...]";

constexpr const char* kHistoryDescription =
    "--since takes a duration back from now (90m, 24h, 7d) or an ISO 8601 date\n"
    "(2026-12-01, 2026-12-01T08:00:00Z); the default is 24h.\n"
    "\n"
    "Exit status: 0 when the history was shown (a device without history\n"
    "shows none); 1 when no module is running, the session bus cannot be\n"
    "reached or the module did not answer; 2 on a usage error.";

struct Shown {
  DeviceSelection::Device device;
  nuv::DeviceHistory history;
};

std::string yesNo(bool b) { return b ? "yes" : "no"; }

std::string table(const std::vector<Shown>& shown, nuv::Date since) {
  std::string out;
  for (const auto& s : shown) {
    out += DeviceSelection::heading(s.device) + "\n";
    if (s.history.samples.empty() && s.history.gaps.empty()) {
      out += "  no changes since " + IsoDate::format(since) + "\n";
      continue;
    }
    out += "  TIME                  LEVEL  CHARGING  EXTERNAL\n";
    // Samples and gaps in time order; a gap goes before a sample at its end.
    std::vector<std::pair<nuv::Date, std::string>> lines;
    for (const auto& sample : s.history.samples) {
      char line[96];
      std::snprintf(line, sizeof line, "  %-20s %5u%%  %-8s  %s\n",
                    IsoDate::format(sample.time).c_str(), unsigned{sample.level},
                    yesNo(sample.charging).c_str(), yesNo(sample.external).c_str());
      lines.emplace_back(sample.time, line);
    }
    for (const auto& gap : s.history.gaps) {
      lines.emplace_back(gap.start, "  -- not watched from " + IsoDate::format(gap.start) + " to " +
                                        IsoDate::format(gap.end) + " --\n");
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& line : lines) out += line.second;
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
  CommandLine line("nuvctl history", "[DEVICE]", kHistorySummary, kHistoryDescription);
  DeviceSelection::declare(line, "One JSON array of the changes instead of the table", &asJson,
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
                               "nuvctl history", "cannot read the history", error)) {
      return 1;
    }
  }
  std::fputs((asJson ? json(shown) : table(shown, *since)).c_str(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace nuvctl
