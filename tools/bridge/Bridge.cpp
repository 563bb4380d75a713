#include "Bridge.h"

#include <chrono>

#include "MetricsServer.h"
#include "MqttClient.h"
#include "PrometheusText.h"
#include "TextfileWriter.h"

namespace nuvbridge {

Bridge::Bridge(Outputs outputs) : out_(std::move(outputs)) { render(); }

void Bridge::moduleRunning(bool running) {
  moduleUp_ = running;
  if (!running) table_.clear();
  render();
  if (out_.mqtt && out_.mqtt->connected()) {
    publish(out_.messages->availabilityTopic(), running ? "online" : "offline");
  }
}

void Bridge::devices(const nuvclient::StackPayload& map) {
  table_.update(map);
  render();
  if (out_.mqtt && out_.mqtt->connected()) publishDevices();
}

void Bridge::mqttConnected() {
  sent_.clear();
  sentDevices_.clear();
  render();
  const auto& m = *out_.messages;
  out_.mqtt->subscribe(m.discoveryStatusTopic());
  publish(m.availabilityTopic(), moduleUp_ ? "online" : "offline");
  publishDevices();
}

void Bridge::mqttDisconnected() { render(); }

void Bridge::mqttMessage(const std::string& topic, const std::string& payload) {
  // Home Assistant started (again): it wants the discovery configs anew.
  if (topic == out_.messages->discoveryStatusTopic() && payload == "online") publishDevices(true);
}

void Bridge::stop() {
  if (out_.mqtt) {
    if (out_.mqtt->connected()) {
      out_.mqtt->publish(out_.messages->availabilityTopic(), "offline", true);
    }
    out_.mqtt->close(std::chrono::seconds(2));
  }
}

void Bridge::render() {
  std::optional<bool> connected;
  if (out_.mqtt) connected = out_.mqtt->connected();
  std::string text = PrometheusText::render(table_.devices(), moduleUp_, connected);
  if (text == text_) return;
  text_ = std::move(text);
  if (out_.metrics) out_.metrics->setText(text_);
  if (out_.textfile) out_.textfile->write(text_);
}

void Bridge::publishDevices(bool discoveryAgain) {
  const auto& m = *out_.messages;
  for (const auto& device : table_.devices()) {
    auto [it, added] = sentDevices_.try_emplace(device.udid, device);
    if (!added && !discoveryAgain && it->second == device) continue;
    it->second = device;
    for (const auto& config : m.discovery(device)) {
      publish(config.topic, config.payload, discoveryAgain);
    }
    publish(m.stateTopic(device), MqttMessages::state(device));
  }
}

void Bridge::publish(const std::string& topic, const std::string& payload, bool force) {
  auto [it, added] = sent_.try_emplace(topic, payload);
  if (!added && !force && it->second == payload) return;
  it->second = payload;
  out_.mqtt->publish(topic, payload, topic == out_.messages->availabilityTopic());
}

}  // namespace nuvbridge
