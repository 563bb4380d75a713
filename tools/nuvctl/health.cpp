#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "DeviceSelection.h"
#include "WatchView.h"
#include "client/HealthTrend.h"
#include "client/HostClient.h"
#include "platform/linux/runtime/IsoDate.h"

namespace nuvctl {

using nuvclient::HealthTrend;
using nuvclient::HostClient;
namespace {

using nuv::linux_backend::IsoDate;

constexpr const char* kHealthSummary =
    "Shows the battery health the module keeps (five years, one reading a\n"
    "day): charge cycles, full-charge and design capacity in mAh, and the\n"
    "maximum capacity in percent of the design capacity, read with the\n"
    "module's GetHealthHistory method (vemo.Tallyport.NUVModule1 on the\n"
    "session bus). DEVICE is a device's name or its Bonjour value (UDID), also\n"
    "of a device that is gone; without it, every device the module reports\n"
    "now or that has history since --since. The table shows the time of each\n"
    "reading (UTC), '-' for a value the device did not give.\n"
    "\n"
    "When the readings shown cover 30 days or more and their maximum capacity\n"
    "falls, a least-squares line through them gives the day the battery is\n"
    "expected to reach 80%; none when the line is flat or rising, or the\n"
    "battery is at or under 80% already.\n"
    "\n"
    "With --json: one JSON array of the readings, oldest first, each with its\n"
    "device's projection (the same on every reading of a device; null when\n"
    "there is none), and null for a value the device did not give:\n"
    "  [{\"time\": \"2026-12-06T18:30:12Z\", \"cycle_count\": 412,\n"
    "    \"full_charge_capacity_mah\": 2815, \"design_capacity_mah\": 3279,\n"
    "    \"max_capacity_percent\": 86, \"device\": \"<UDID>\",\n"
    "    \"projected_80_percent\": \"2027-09-14\"}, ...]";

constexpr const char* kHealthDescription =
    "--since takes a duration back from now (90m, 24h, 7d) or an ISO 8601 date\n"
    "(2026-12-01, 2026-12-01T08:00:00Z); the default is everything kept. The\n"
    "projection is made from the readings shown, and its day is in UTC.\n"
    "\n"
    "Exit status: 0 when the health was shown (a device without readings\n"
    "shows none); 1 when no module is running, the session bus cannot be\n"
    "reached or the module did not answer; 2 on a usage error.";

struct Shown {
  DeviceSelection::Device device;
  std::vector<nuv::HealthReading> rows;
  HealthTrend::Projection projection;
};

// The projection's calendar day in UTC, "2027-09-14".
std::string day(nuv::Date date) { return IsoDate::format(date).substr(0, 10); }

// A number for people, grouped as the locale groups digits; "-" for none.
std::string grouped(const std::optional<std::int32_t>& value, const char* unit) {
  if (!value) return "-";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%'d%s", static_cast<int>(*value), unit);
  return buffer;
}

std::string verdict(const HealthTrend::Projection& p) {
  switch (p.outcome) {
    case HealthTrend::Outcome::Projected:
      return "Expected to reach 80% maximum capacity around " + day(*p.date) + " (from " +
             std::to_string(std::chrono::floor<std::chrono::days>(p.span).count()) +
             " days of readings)";
    case HealthTrend::Outcome::TooShort:
      return "No projection to 80% yet: the readings cover fewer than 30 days";
    case HealthTrend::Outcome::NotFalling:
      return "No projection to 80%: the maximum capacity is not falling";
    case HealthTrend::Outcome::AtOrUnder80:
      return "The maximum capacity is at or under 80% already";
  }
  return "";
}

std::string table(const std::vector<Shown>& shown, const std::optional<std::string>& sinceText,
                  nuv::Date since) {
  std::string out;
  for (const auto& s : shown) {
    out += DeviceSelection::heading(s.device) + "\n";
    if (s.rows.empty()) {
      out += sinceText ? "  no health readings since " + IsoDate::format(since) + "\n"
                       : std::string("  no health readings\n");
      continue;
    }
    out += "  TIME                  CYCLES   FULL CHARGE        DESIGN  MAX CAPACITY\n";
    for (const auto& row : s.rows) {
      char line[160];
      std::snprintf(
          line, sizeof line, "  %-20s  %6s  %12s  %12s  %12s\n", IsoDate::format(row.time).c_str(),
          grouped(row.cycleCount, "").c_str(), grouped(row.fullChargeCapacity, " mAh").c_str(),
          grouped(row.designCapacity, " mAh").c_str(), grouped(row.maxCapacity, "%").c_str());
      out += line;
    }
    out += "  " + verdict(s.projection) + "\n";
  }
  return out;
}

nlohmann::json orNull(const std::optional<std::int32_t>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

std::string json(const std::vector<Shown>& shown) {
  DeviceSelection::TimedRows rows;
  for (const auto& s : shown) {
    const nlohmann::json projected =
        s.projection.date ? nlohmann::json(day(*s.projection.date)) : nlohmann::json(nullptr);
    for (const auto& row : s.rows) {
      rows.emplace_back(row.time,
                        nlohmann::json{{"time", IsoDate::format(row.time)},
                                       {"cycle_count", orNull(row.cycleCount)},
                                       {"full_charge_capacity_mah", orNull(row.fullChargeCapacity)},
                                       {"design_capacity_mah", orNull(row.designCapacity)},
                                       {"max_capacity_percent", orNull(row.maxCapacity)},
                                       {"device", s.device.device},
                                       {"projected_80_percent", projected}});
    }
  }
  return DeviceSelection::jsonArray(std::move(rows));
}

}  // namespace

int runHealth(Args args) {
  bool asJson = false;
  std::optional<std::string> sinceText;
  CommandLine line("nuvctl health", "[DEVICE]", kHealthSummary, kHealthDescription);
  DeviceSelection::declare(line, "One JSON array of the readings instead of the table", &asJson,
                           &sinceText);
  if (auto status = line.parse(args)) return *status;
  // Everything kept by default: the store drops rows after five years.
  const auto since = sinceText ? DeviceSelection::since(*sinceText, WatchView::now()) : nuv::Date{};
  if (!since) return line.usageError(DeviceSelection::badSince(*sinceText));
  HostClient client = HostClient::onSessionBus("nuvctl health");
  if (!client) return 1;
  std::vector<DeviceSelection::Device> devices;
  if (!DeviceSelection::select(client, "nuvctl health", args, *since, &devices)) return 1;
  std::vector<Shown> shown;
  std::string error;
  for (auto& device : devices) {
    Shown s{std::move(device), {}, {}};
    if (!HostClient::succeeded(client.healthHistory(s.device.device, *since, &s.rows, &error),
                               "nuvctl health", "cannot read the battery health", error)) {
      return 1;
    }
    s.projection = HealthTrend::project(s.rows);
    shown.push_back(std::move(s));
  }
  std::fputs((asJson ? json(shown) : table(shown, sinceText, *since)).c_str(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace nuvctl
