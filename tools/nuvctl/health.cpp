#include <glib/gi18n.h>

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
#include "client/HealthTrend.h"
#include "client/HostClient.h"
#include "platform/linux/runtime/IsoDate.h"
#include "platform/linux/runtime/LocaleText.h"

namespace nuvctl {

using nuvclient::DeviceStatus;
using nuvclient::HealthTrend;
using nuvclient::HostClient;
namespace {

using nuv::linux_backend::IsoDate;
using nuv::linux_backend::LocaleText;

constexpr const char* kHealthSummary =
    // TRANSLATORS: GetHealthHistory, --since, --json and the JSON example stay as they are.
    N_("Shows the battery health the module keeps (five years, one reading a\n"
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
       "    \"projected_80_percent\": \"2027-09-14\"}, ...]");

constexpr const char* kHealthDescription =
    N_("--since takes a duration back from now (90m, 24h, 7d) or an ISO 8601 date\n"
       "(2026-12-01, 2026-12-01T08:00:00Z); the default is everything kept. The\n"
       "projection is made from the readings shown, and its day is in UTC.\n"
       "\n"
       "Exit status: 0 when the health was shown (a device without readings\n"
       "shows none); 1 when no module is running, the session bus cannot be\n"
       "reached or the module did not answer; 2 on a usage error.");

struct Shown {
  DeviceSelection::Device device;
  std::vector<nuv::HealthReading> rows;
  HealthTrend::Projection projection;
};

// The projection's calendar day in UTC, as JSON gives it: "2027-09-14".
std::string day(nuv::Date date) { return IsoDate::format(date).substr(0, 10); }

// A number for people, grouped as the locale groups digits; "-" for none.
std::string grouped(const std::optional<std::int32_t>& value) {
  return value ? LocaleText::format("%'d", static_cast<int>(*value)) : "-";
}

std::string milliampHours(const std::optional<std::int32_t>& value) {
  // TRANSLATORS: a battery capacity in milliampere-hours ("2,815 mAh").
  return value ? LocaleText::format(_("%'d mAh"), static_cast<int>(*value)) : "-";
}

std::string verdict(const HealthTrend::Projection& p) {
  switch (p.outcome) {
    case HealthTrend::Outcome::Projected: {
      const auto days = std::chrono::floor<std::chrono::days>(p.span).count();
      return LocaleText::format(
          // TRANSLATORS: when the battery's maximum capacity is expected to fall
          // to 80%: a calendar day, and how many days of readings say so.
          ngettext("Expected to reach 80%% maximum capacity around %s (from %ld day of readings)",
                   "Expected to reach 80%% maximum capacity around %s (from %ld days of readings)",
                   static_cast<unsigned long>(days)),
          LocaleText::utcDay(*p.date).c_str(), static_cast<long>(days));
    }
    case HealthTrend::Outcome::TooShort:
      return _("No projection to 80% yet: the readings cover fewer than 30 days");
    case HealthTrend::Outcome::NotFalling:
      return _("No projection to 80%: the maximum capacity is not falling");
    case HealthTrend::Outcome::AtOrUnder80:
      // xgettext:no-c-format
      return _("The maximum capacity is at or under 80% already");
  }
  return "";
}

std::string table(const std::vector<Shown>& shown, const std::optional<std::string>& sinceText,
                  nuv::Date since) {
  using Align = TextTable::Align;
  std::string out;
  for (const auto& s : shown) {
    out += DeviceSelection::heading(s.device) + "\n";
    if (s.rows.empty()) {
      out += "  " +
             // TRANSLATORS: %s is a time in UTC.
             (sinceText ? LocaleText::format(_("no health readings since %s"),
                                             LocaleText::utcTime(since).c_str())
                        : std::string(_("no health readings"))) +
             "\n";
      continue;
    }
    // TRANSLATORS: the column headings of nuvctl health: the time, the charge
    // cycles, the capacity of a full charge now, the capacity when new, and
    // the first in percent of the second.
    TextTable rows({{_("TIME"), Align::Left, 0},
                    {_("CYCLES"), Align::Right, 6},
                    {_("FULL CHARGE"), Align::Right, 12},
                    {_("DESIGN"), Align::Right, 12},
                    {_("MAX CAPACITY"), Align::Right, 12}},
                   "  ");
    for (const auto& row : s.rows) {
      rows.add({LocaleText::utcTime(row.time), grouped(row.cycleCount),
                milliampHours(row.fullChargeCapacity), milliampHours(row.designCapacity),
                row.maxCapacity ? DeviceStatus::percentText(*row.maxCapacity) : "-"});
    }
    out += rows.text() + "  " + verdict(s.projection) + "\n";
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
  CommandLine line("nuvctl health", _("[DEVICE]"), _(kHealthSummary), _(kHealthDescription));
  DeviceSelection::declare(line, _("One JSON array of the readings instead of the table"), &asJson,
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
                               "nuvctl health", _("cannot read the battery health"), error)) {
      return 1;
    }
    s.projection = HealthTrend::project(s.rows);
    shown.push_back(std::move(s));
  }
  std::fputs((asJson ? json(shown) : table(shown, sinceText, *since)).c_str(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace nuvctl
