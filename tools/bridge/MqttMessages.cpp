#include "MqttMessages.h"

#include <nlohmann/json.hpp>

#include "platform/linux/runtime/IsoDate.h"

namespace nuvbridge {
namespace {

using nlohmann::json;

std::string dump(const json& document) {
  return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

template <class T>
void put(json& document, const char* key, const std::optional<T>& value) {
  if (value) document[key] = *value;
}

// One entity of a device, as Home Assistant's MQTT discovery describes it.
struct Entity {
  const char* component;
  const char* object;
  const char* key;  // in the state document
  const char* name;
  bool reported;  // whether the device has a value for it (always true for the first three)
  json extra;
};

json with(json base, const json& more) {
  base.update(more);
  return base;
}

}  // namespace

MqttMessages::MqttMessages(std::string topicPrefix, std::string discoveryPrefix,
                           std::string_view host)
    : topicPrefix_(std::move(topicPrefix)),
      discoveryPrefix_(std::move(discoveryPrefix)),
      host_(reduceId(host)) {}

std::string MqttMessages::reduceId(std::string_view id) {
  std::string out(id);
  for (char& c : out) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-';
    if (!ok) c = '_';
  }
  return out.empty() ? "_" : out;
}

std::string MqttMessages::availabilityTopic() const {
  return topicPrefix_ + "/" + host_ + "/status";
}

std::string MqttMessages::stateTopic(const DeviceFacts& device) const {
  return topicPrefix_ + "/" + host_ + "/" + reduceId(device.udid) + "/state";
}

std::string MqttMessages::discoveryStatusTopic() const { return discoveryPrefix_ + "/status"; }

std::string MqttMessages::state(const DeviceFacts& d) {
  json document = json::object();
  put(document, "name", d.name);
  put(document, "battery", d.battery);
  put(document, "charging", d.charging);
  put(document, "external_power", d.externalPower);
  put(document, "attached", d.attached);
  put(document, "trusted", d.trusted);
  put(document, "fully_charged", d.fullyCharged);
  put(document, "cycle_count", d.cycleCount);
  put(document, "max_capacity", d.maxCapacity);
  put(document, "temperature", d.temperature);
  put(document, "charger_watts", d.chargerWatts);
  if (d.lastChange) document["timestamp"] = nuv::linux_backend::IsoDate::format(*d.lastChange);
  return dump(document);
}

std::vector<MqttMessages::Message> MqttMessages::discovery(const DeviceFacts& d) const {
  const std::string id = "nuv_" + reduceId(d.udid);
  json device = {{"identifiers", {id}}, {"name", d.name.value_or(d.udid)}};
  if (d.productType) device["model"] = *d.productType;
  // A value the state document leaves out renders as None, which Home
  // Assistant shows as unknown.
  const json flag = {{"payload_on", "True"}, {"payload_off", "False"}};
  const Entity entities[] = {
      {"sensor",
       "battery",
       "battery",
       "Battery",
       true,
       {{"device_class", "battery"}, {"unit_of_measurement", "%"}, {"state_class", "measurement"}}},
      {"binary_sensor", "charging", "charging", "Charging", true,
       with(flag, {{"device_class", "battery_charging"}})},
      {"binary_sensor", "plugged", "external_power", "Plugged in", true,
       with(flag, {{"device_class", "plug"}})},
      {"sensor",
       "temperature",
       "temperature",
       "Battery temperature",
       d.temperature.has_value(),
       {{"device_class", "temperature"},
        {"unit_of_measurement", "°C"},
        {"state_class", "measurement"}}},
      {"sensor",
       "max_capacity",
       "max_capacity",
       "Battery maximum capacity",
       d.maxCapacity.has_value(),
       {{"unit_of_measurement", "%"},
        {"state_class", "measurement"},
        {"entity_category", "diagnostic"}}},
      {"sensor",
       "cycle_count",
       "cycle_count",
       "Battery charge cycles",
       d.cycleCount.has_value(),
       {{"state_class", "total_increasing"}, {"entity_category", "diagnostic"}}},
  };
  std::vector<Message> out;
  for (const auto& e : entities) {
    if (!e.reported) continue;
    json config = e.extra;
    config["name"] = e.name;
    config["unique_id"] = id + "_" + e.object;
    config["state_topic"] = stateTopic(d);
    config["value_template"] = std::string("{{ value_json.") + e.key + " | default(None) }}";
    config["availability_topic"] = availabilityTopic();
    config["device"] = device;
    out.push_back({discoveryPrefix_ + "/" + e.component + "/" + id + "/" + e.object + "/config",
                   dump(config)});
  }
  return out;
}

}  // namespace nuvbridge
