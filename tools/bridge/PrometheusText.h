#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DeviceFacts.h"

namespace nuvbridge {

// The devices in Prometheus' text exposition format (version 0.0.4), the
// same text for the /metrics endpoint and for node_exporter's textfile
// collector. One series per device and reported value, labelled with the
// device's key; every metric has its HELP and TYPE lines, series or not.
// Whatever the map holds, the text stays parseable: label values are valid
// UTF-8 (bad bytes become U+FFFD) with backslash, double quote and newline
// escaped, and numbers come only from values that parsed as numbers.
class PrometheusText {
 public:
  static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

  // `mqttConnected` is none when the bridge has no broker to talk to.
  static std::string render(const std::vector<DeviceFacts>& devices, bool moduleUp,
                            std::optional<bool> mqttConnected);
  static std::string escapeLabel(std::string_view value);
};

}  // namespace nuvbridge
