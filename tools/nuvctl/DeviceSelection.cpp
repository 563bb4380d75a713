#include "DeviceSelection.h"

#include <glib/gi18n.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "client/DeviceStatus.h"
#include "platform/linux/runtime/IsoDate.h"
#include "platform/linux/runtime/LocaleText.h"

namespace nuvctl {

using nuvclient::HostClient;

std::optional<nuv::Date> DeviceSelection::since(const std::string& text, nuv::Date now) {
  if (text.size() >= 2 && std::all_of(text.begin(), text.end() - 1, ::isdigit) &&
      text.size() <= 8) {
    const long n = std::stol(text.substr(0, text.size() - 1));
    const long minutes = text.back() == 'm'   ? 1
                         : text.back() == 'h' ? 60
                         : text.back() == 'd' ? 1440
                                              : 0;
    if (minutes) return nuv::Date{now.time - std::chrono::minutes(n * minutes)};
  }
  return nuv::linux_backend::IsoDate::parse(text);
}

void DeviceSelection::declare(nuvcli::CommandLine& line, const char* jsonHelp, bool* json,
                              std::optional<std::string>* since) {
  line.flag("json", jsonHelp, json)
      // TRANSLATORS: the value of --since, named in the help.
      .text("since", _("DURATION|DATE"), _("From then on (90m, 24h, 7d or an ISO 8601 date)"),
            since)
      .arguments(0, 1);
}

std::string DeviceSelection::jsonArray(TimedRows rows) {
  std::stable_sort(rows.begin(), rows.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  nlohmann::json array = nlohmann::json::array();
  for (auto& row : rows) array.push_back(std::move(row.second));
  return array.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string DeviceSelection::badSince(const std::string& text) {
  return nuv::linux_backend::LocaleText::format(
      // TRANSLATORS: %s is what was given.
      _("--since needs a duration (90m, 24h, 7d) or an ISO 8601 date, not '%s'"), text.c_str());
}

bool DeviceSelection::select(const HostClient& client, const char* who, const nuvcli::Args& args,
                             nuv::Date since, std::vector<Device>* devices) {
  nuvclient::StackPayload payload;
  std::string error;
  if (!HostClient::succeeded(client.readDevices(&payload, &error), who,
                             _("cannot read the device map"), error)) {
    return false;
  }
  // The devices the module reports now, then those that only have history
  // (seen before it last started, or gone since).
  std::vector<Device> found;
  for (const auto& entry : payload.devices) {
    const std::string* name = entry.field("name");
    found.push_back({entry.key, name ? *name : ""});
  }
  std::vector<nuv::HistoryDevice> stored;
  if (!HostClient::succeeded(
          client.historyDevices(args.empty() ? since : nuv::Date{}, &stored, &error), who,
          _("cannot read which devices have history"), error)) {
    return false;
  }
  for (auto& d : stored) {
    auto it = std::find_if(found.begin(), found.end(),
                           [&d](const Device& f) { return f.device == d.device; });
    if (it == found.end()) {
      found.push_back({std::move(d.device), std::move(d.name)});
    } else if (it->name.empty()) {
      it->name = std::move(d.name);
    }
  }
  if (args.empty()) {
    std::sort(found.begin(), found.end(),
              [](const Device& a, const Device& b) { return a.device < b.device; });
    *devices = std::move(found);
    return true;
  }
  auto it = std::find_if(found.begin(), found.end(), [&args](const Device& f) {
    return f.device == args[0] || (!f.name.empty() && f.name == args[0]);
  });
  // An unknown device is shown without history, not as an error.
  *devices = {it != found.end() ? std::move(*it) : Device{args[0], ""}};
  return true;
}

std::string DeviceSelection::heading(const Device& device) {
  return nuvclient::DeviceStatus::displayText(
      device.name.empty() ? device.device : device.name + " (" + device.device + ")");
}

}  // namespace nuvctl
