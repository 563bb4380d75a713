#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "DeviceFacts.h"

namespace nuvbridge {

// What the bridge publishes to an MQTT broker, built from the devices alone:
// the topics, each device's state document and its Home Assistant discovery
// configurations. Every payload is valid JSON whatever the map holds
// (invalid UTF-8 becomes U+FFFD), and every id that goes into a topic is
// reduced to [a-zA-Z0-9_-], so a hostile key can neither add topic levels nor
// wildcards.
class MqttMessages {
 public:
  struct Message {
    std::string topic;
    std::string payload;
    friend bool operator==(const Message&, const Message&) = default;
  };

  // `host` is this machine's name, reduced like an id.
  MqttMessages(std::string topicPrefix, std::string discoveryPrefix, std::string_view host);

  // Every byte outside [a-zA-Z0-9_-] becomes '_' ("" becomes "_").
  static std::string reduceId(std::string_view id);

  // <prefix>/<host>/status: "online" while the module runs, else "offline".
  std::string availabilityTopic() const;
  // <prefix>/<host>/<udid>/state
  std::string stateTopic(const DeviceFacts& device) const;
  // Where Home Assistant announces itself ("online" after it started).
  std::string discoveryStatusTopic() const;

  // The state document: only the values the device has reported.
  static std::string state(const DeviceFacts& device);
  // The discovery configurations of the device's entities: battery, charging
  // and plugged always, temperature, maximum capacity and charge cycles once
  // the device has reported them.
  std::vector<Message> discovery(const DeviceFacts& device) const;

 private:
  std::string topicPrefix_;
  std::string discoveryPrefix_;
  std::string host_;
};

}  // namespace nuvbridge
