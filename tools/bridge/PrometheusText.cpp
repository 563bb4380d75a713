#include "PrometheusText.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <functional>

#include "platform/Utf8.h"

namespace nuvbridge {
namespace {

using Value = std::function<std::optional<std::string>(const DeviceFacts&)>;

std::string decimal(double value) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  return std::string(buffer, end);
}

// Seconds since the epoch with the microseconds, exactly: "1780000000.5".
std::string seconds(nuv::Date date) {
  const std::int64_t us = date.microseconds();
  std::int64_t whole = us / 1000000, fraction = us % 1000000;
  if (fraction < 0) {
    whole -= 1;
    fraction += 1000000;
  }
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%" PRId64 ".%06" PRId64, whole, fraction);
  std::string text = buffer;
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  return text;
}

template <class T>
Value of(std::optional<T> DeviceFacts::*field) {
  return [field](const DeviceFacts& d) -> std::optional<std::string> {
    const auto& value = d.*field;
    if (!value) return std::nullopt;
    if constexpr (std::is_same_v<T, bool>) return std::string(*value ? "1" : "0");
    return std::to_string(*value);
  };
}

Value percent(std::optional<int> DeviceFacts::*field) {
  return [field](const DeviceFacts& d) -> std::optional<std::string> {
    if (!(d.*field)) return std::nullopt;
    return decimal(*(d.*field) / 100.0);
  };
}

Value ratio(std::optional<long> DeviceFacts::*field) {
  return [field](const DeviceFacts& d) -> std::optional<std::string> {
    if (!(d.*field)) return std::nullopt;
    return decimal(static_cast<double>(*(d.*field)) / 100.0);
  };
}

struct Family {
  const char* name;
  const char* type;
  const char* help;
  Value value;
};

const std::vector<Family>& deviceFamilies() {
  static const std::vector<Family> families = {
      {"nuv_device_attached", "gauge", "1 while the device is attached by USB, 0 over the network.",
       of(&DeviceFacts::attached)},
      {"nuv_device_trusted", "gauge", "1 when the device trusts this computer.",
       of(&DeviceFacts::trusted)},
      {"nuv_battery_level_ratio", "gauge", "Battery charge level, from 0 to 1.",
       percent(&DeviceFacts::battery)},
      {"nuv_battery_charging", "gauge", "1 while the battery charges.", of(&DeviceFacts::charging)},
      {"nuv_battery_external_power", "gauge", "1 while the device is on external power.",
       of(&DeviceFacts::externalPower)},
      {"nuv_battery_fully_charged", "gauge", "1 when the battery reports itself fully charged.",
       of(&DeviceFacts::fullyCharged)},
      {"nuv_battery_max_capacity_ratio", "gauge",
       "Full-charge capacity of the battery as a share of its design capacity.",
       ratio(&DeviceFacts::maxCapacity)},
      {"nuv_battery_charge_cycles_total", "counter", "Charge cycles the battery has been through.",
       of(&DeviceFacts::cycleCount)},
      {"nuv_battery_temperature_celsius", "gauge", "Battery temperature in degrees Celsius.",
       of(&DeviceFacts::temperature)},
      {"nuv_charger_power_watts", "gauge", "Power of the charger the device is on, in watts.",
       of(&DeviceFacts::chargerWatts)},
      {"nuv_device_last_change_timestamp_seconds", "gauge",
       "When NUVModule last saw the device's entry change, in seconds since the Unix epoch.",
       [](const DeviceFacts& d) -> std::optional<std::string> {
         if (!d.lastChange) return std::nullopt;
         return seconds(*d.lastChange);
       }},
  };
  return families;
}

void header(std::string& out, const char* name, const char* type, const char* help) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n");
  out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void label(std::string& out, const char* name, std::string_view value) {
  out.append(name).append("=\"").append(PrometheusText::escapeLabel(value)).append("\"");
}

}  // namespace

std::string PrometheusText::escapeLabel(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  while (!value.empty()) {
    const std::size_t n = nuv::utf8SequenceLength(value);
    if (n == 0) {
      out.append("\xEF\xBF\xBD");  // U+FFFD for a byte that starts no valid sequence
      value.remove_prefix(1);
      continue;
    }
    const char c = value.front();
    if (c == '\\') {
      out.append("\\\\");
    } else if (c == '"') {
      out.append("\\\"");
    } else if (c == '\n') {
      out.append("\\n");
    } else {
      out.append(value.substr(0, n));
    }
    value.remove_prefix(n);
  }
  return out;
}

std::string PrometheusText::render(const std::vector<DeviceFacts>& devices, bool moduleUp,
                                   std::optional<bool> mqttConnected) {
  std::string out;
  out.reserve(256 + devices.size() * 900);
  header(out, "nuv_device_info", "gauge",
         "Facts about each device as labels; the value is always 1.");
  for (const auto& d : devices) {
    out.append("nuv_device_info{");
    label(out, "udid", d.udid);
    out.append(",");
    label(out, "name", d.name.value_or(""));
    out.append(",");
    label(out, "product_type", d.productType.value_or(""));
    out.append("} 1\n");
  }
  for (const auto& family : deviceFamilies()) {
    header(out, family.name, family.type, family.help);
    for (const auto& d : devices) {
      if (const auto value = family.value(d)) {
        out.append(family.name).append("{");
        label(out, "udid", d.udid);
        out.append("} ").append(*value).append("\n");
      }
    }
  }
  header(out, "nuv_module_up", "gauge", "1 while NUVModule runs on the session bus, else 0.");
  out.append("nuv_module_up ").append(moduleUp ? "1" : "0").append("\n");
  if (mqttConnected) {
    header(out, "nuv_bridge_mqtt_connected", "gauge",
           "1 while nuv-bridge is connected to its MQTT broker, else 0.");
    out.append("nuv_bridge_mqtt_connected ").append(*mqttConnected ? "1" : "0").append("\n");
  }
  return out;
}

}  // namespace nuvbridge
