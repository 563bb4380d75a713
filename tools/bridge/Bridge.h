#pragma once

#include <map>
#include <optional>
#include <string>

#include "DeviceTable.h"
#include "MqttMessages.h"

namespace nuvbridge {

class MetricsServer;
class TextfileWriter;
class MqttClient;

// Turns what the module's host service says (whether the module runs, each
// new map) into the bridge's outputs, each of them optional: the metrics
// text for the endpoint and the textfile, rewritten when it changes, and the
// MQTT messages, each sent when its payload changed since it was last sent
// on this connection, and all again on every new connection.
//
// While the module is not running the device series go from the metrics
// (nuv_module_up 0 says why) and MQTT availability is "offline"; the
// retained states and discovery configs stay as they were, so Home
// Assistant keeps its entities and shows them unavailable. A device that
// leaves the map loses its series; its MQTT entities stay.
//
// Loop thread only.
class Bridge {
 public:
  struct Outputs {
    MetricsServer* metrics = nullptr;
    TextfileWriter* textfile = nullptr;
    MqttClient* mqtt = nullptr;
    std::optional<MqttMessages> messages;  // with `mqtt`
  };

  explicit Bridge(Outputs outputs);

  void moduleRunning(bool running);
  void devices(const nuvclient::StackPayload& map);
  void mqttConnected();
  void mqttDisconnected();
  void mqttMessage(const std::string& topic, const std::string& payload);
  // The orderly end: availability "offline" before the connection closes.
  void stop();

  const std::string& text() const { return text_; }

 private:
  void render();
  // The messages of every device that changed since they were last sent
  // (of all devices, and discovery only, when `discoveryAgain`).
  void publishDevices(bool discoveryAgain = false);
  void publish(const std::string& topic, const std::string& payload, bool force = false);

  Outputs out_;
  DeviceTable table_;
  bool moduleUp_ = false;
  std::string text_;
  // What went out on this connection: each topic's payload, and the devices
  // as their messages were last built.
  std::map<std::string, std::string> sent_;
  std::map<std::string, DeviceFacts> sentDevices_;
};

}  // namespace nuvbridge
