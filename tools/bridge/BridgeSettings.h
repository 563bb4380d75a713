#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nuvbridge {

struct LoadedSettings;

// What nuv-bridge serves and where, from its key file
// ($XDG_CONFIG_HOME/nuv-bridge/bridge.conf, or --config FILE) with the
// command-line options over it:
//
//   [prometheus]  listen = ADDR:PORT, textfile = PATH
//   [mqtt]        url = mqtt://HOST[:PORT] | mqtts://HOST[:PORT], username,
//                 password-file, topic-prefix (nuv), discovery-prefix
//                 (homeassistant), client-id (nuv-bridge-<host>), cafile
//
// Everything is checked before the bridge connects anywhere: an unknown key,
// a bad address or URL, nothing to do at all (exit status 2), a password file
// that cannot be read or that other users may read or change (exit status 1).
struct BridgeSettings {
  struct Listen {
    std::string address;  // an IP address in its usual text form
    unsigned port = 0;    // 0: any free port
    bool loopback = true;
  };
  struct Mqtt {
    std::string broker;  // "mqtt://HOST:PORT", for messages
    std::string host;
    unsigned port = 0;
    bool tls = false;
    std::string cafile;  // "" for the system's certificate authorities
    std::string username;
    std::optional<std::string> password;
    std::string topicPrefix = "nuv";
    std::string discoveryPrefix = "homeassistant";
    std::string clientId;
  };

  std::optional<Listen> listen;
  std::string textfile;  // "" for none
  std::optional<Mqtt> mqtt;

  // The command line's say, over the file's.
  struct Options {
    std::optional<std::string> config;
    std::optional<std::string> listen;
    std::optional<std::string> textfile;
    std::optional<std::string> mqtt;
  };
  // `host` is this machine's name (the default client id names it).
  static LoadedSettings load(const Options& options, std::string_view host);
  static std::string defaultConfigPath();

  // "ADDR:PORT", "[v6]:PORT", ":PORT" or "PORT" (the last two: loopback).
  static std::optional<Listen> parseListen(const std::string& text, std::string* error);
};

struct LoadedSettings {
  std::optional<BridgeSettings> settings;
  int status = 0;     // the exit status when there are no settings
  std::string error;  // one line, without the program's name
};

}  // namespace nuvbridge
