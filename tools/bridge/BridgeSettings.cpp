#include "BridgeSettings.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "MqttMessages.h"
#include "platform/linux/GlibHandles.h"
#include "platform/linux/process/XdgDirs.h"
#include "platform/linux/runtime/UniqueFd.h"

namespace nuvbridge {
namespace {

const std::map<std::string, std::set<std::string>>& knownKeys() {
  static const std::map<std::string, std::set<std::string>> keys = {
      {"prometheus", {"listen", "textfile"}},
      {"mqtt",
       {"url", "username", "password-file", "topic-prefix", "discovery-prefix", "client-id",
        "cafile"}},
  };
  return keys;
}

LoadedSettings failure(int status, std::string error) {
  return {std::nullopt, status, std::move(error)};
}

// The key file's values, "" for a key that is missing or empty.
class Values {
 public:
  std::string get(const char* group, const char* key) const {
    auto it = values_.find(std::string(group) + "/" + key);
    return it == values_.end() ? "" : it->second;
  }
  // Reads `path`; a missing file is no error unless it was asked for.
  bool load(const std::string& path, bool mustExist, std::string* error) {
    nuv::glib::KeyFile file(g_key_file_new());
    GError* raw = nullptr;
    if (!g_key_file_load_from_file(file.get(), path.c_str(), G_KEY_FILE_NONE, &raw)) {
      nuv::glib::Error failed(raw);
      if (!mustExist && g_error_matches(raw, G_FILE_ERROR, G_FILE_ERROR_NOENT)) return true;
      *error = path + ": " + failed->message;
      return false;
    }
    gsize groups = 0;
    nuv::glib::Strv names(g_key_file_get_groups(file.get(), &groups));
    for (gsize g = 0; g < groups; ++g) {
      const char* group = names.get()[g];
      auto known = knownKeys().find(group);
      if (known == knownKeys().end()) {
        *error = path + ": unknown group [" + group + "]";
        return false;
      }
      gsize count = 0;
      nuv::glib::Strv keys(g_key_file_get_keys(file.get(), group, &count, nullptr));
      for (gsize k = 0; k < count; ++k) {
        const char* key = keys.get()[k];
        if (!known->second.count(key)) {
          *error = path + ": unknown key \"" + key + "\" in [" + group + "]";
          return false;
        }
        nuv::glib::String value(g_key_file_get_string(file.get(), group, key, &raw));
        if (!value) {
          nuv::glib::Error bad(raw);
          *error = path + ": [" + group + "] " + key + ": " + bad->message;
          return false;
        }
        values_[std::string(group) + "/" + key] = g_strstrip(value.get());
      }
    }
    return true;
  }

 private:
  std::map<std::string, std::string> values_;
};

std::string absolute(const std::string& path) {
  nuv::glib::String full(g_canonicalize_filename(path.c_str(), nullptr));
  return full.get();
}

std::optional<unsigned> parsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<unsigned>(c - '0');
  }
  if (port > 65535) return std::nullopt;
  return port;
}

bool parseMqtt(const std::string& url, BridgeSettings::Mqtt& mqtt, std::string* error) {
  GError* raw = nullptr;
  nuv::glib::Uri uri(g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, &raw));
  if (!uri) {
    nuv::glib::Error bad(raw);
    *error = "bad MQTT URL \"" + url + "\": " + bad->message;
    return false;
  }
  const std::string scheme = g_uri_get_scheme(uri.get());
  const char* host = g_uri_get_host(uri.get());
  const std::string path = g_uri_get_path(uri.get());
  if (scheme != "mqtt" && scheme != "mqtts") {
    *error = "bad MQTT URL \"" + url + "\": use mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    return false;
  }
  if (g_uri_get_userinfo(uri.get())) {
    *error = "bad MQTT URL \"" + url +
             "\": give the user name as [mqtt] username and the password in a password-file";
    return false;
  }
  if (!host || !*host || (!path.empty() && path != "/") || g_uri_get_query(uri.get()) ||
      g_uri_get_fragment(uri.get())) {
    *error = "bad MQTT URL \"" + url + "\": use mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    return false;
  }
  mqtt.tls = scheme == "mqtts";
  mqtt.host = host;
  const int port = g_uri_get_port(uri.get());
  mqtt.port = port > 0 ? static_cast<unsigned>(port) : (mqtt.tls ? 8883 : 1883);
  const bool v6 = mqtt.host.find(':') != std::string::npos;
  mqtt.broker =
      scheme + "://" + (v6 ? "[" + mqtt.host + "]" : mqtt.host) + ":" + std::to_string(mqtt.port);
  return true;
}

bool checkPrefix(const char* key, std::string& prefix, std::string* error) {
  while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  if (prefix.empty() || prefix.find_first_of("+#") != std::string::npos) {
    *error =
        std::string("[mqtt] ") + key + " must be a topic without + or #, not \"" + prefix + "\"";
    return false;
  }
  return true;
}

// The password: the file's first line. The file must be the user's alone.
bool readPassword(const std::string& path, std::string* password, std::string* error) {
  nuv::linux_backend::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0) {
    *error = "cannot read the password file " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "the password file " + path + " is not a regular file";
    return false;
  }
  if (st.st_mode & 077) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const char* what = (st.st_mode & 044) ? "read" : "changed";
    *error = "the password file " + path + " can be " + what + " by other users (mode " + mode +
             "); make it yours alone: chmod 600 '" + path + "'";
    return false;
  }
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd.get(), buffer, sizeof buffer)) > 0 && text.size() < 65536) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  if (n < 0) {
    *error = "cannot read the password file " + path + ": " + std::strerror(errno);
    return false;
  }
  const auto end = text.find_first_of("\r\n");
  *password = text.substr(0, end);
  return true;
}

}  // namespace

std::string BridgeSettings::defaultConfigPath() {
  return nuv::linux_backend::xdgBaseDirectory("XDG_CONFIG_HOME", ".config") +
         "/nuv-bridge/bridge.conf";
}

std::optional<BridgeSettings::Listen> BridgeSettings::parseListen(const std::string& text,
                                                                  std::string* error) {
  std::string host, port = text;
  if (const auto colon = text.rfind(':'); colon != std::string::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  const auto number = parsePort(port);
  if (!number) {
    *error = "bad listen address \"" + text + "\": use ADDR:PORT, for example 127.0.0.1:9101";
    return std::nullopt;
  }
  Listen listen;
  listen.port = *number;
  if (host.empty() || host == "localhost") {
    listen.address = "127.0.0.1";
    return listen;
  }
  nuv::glib::Object<GInetAddress> address(g_inet_address_new_from_string(host.c_str()));
  if (!address) {
    *error = "bad listen address \"" + text + "\": \"" + host +
             "\" is not an IP address (0.0.0.0 for every interface)";
    return std::nullopt;
  }
  nuv::glib::String normal(g_inet_address_to_string(address.get()));
  listen.address = normal.get();
  listen.loopback = g_inet_address_get_is_loopback(address.get());
  return listen;
}

LoadedSettings BridgeSettings::load(const Options& options, std::string_view host) {
  std::string error;
  Values file;
  const std::string path = options.config.value_or(defaultConfigPath());
  if (!file.load(path, options.config.has_value(), &error)) return failure(2, error);

  BridgeSettings settings;
  const std::string listen = options.listen.value_or(file.get("prometheus", "listen"));
  if (!listen.empty()) {
    settings.listen = parseListen(listen, &error);
    if (!settings.listen) return failure(2, error);
  }
  const std::string textfile = options.textfile.value_or(file.get("prometheus", "textfile"));
  if (!textfile.empty()) settings.textfile = absolute(textfile);

  const std::string url = options.mqtt.value_or(file.get("mqtt", "url"));
  if (!url.empty()) {
    Mqtt mqtt;
    if (!parseMqtt(url, mqtt, &error)) return failure(2, error);
    mqtt.username = file.get("mqtt", "username");
    if (auto prefix = file.get("mqtt", "topic-prefix"); !prefix.empty()) mqtt.topicPrefix = prefix;
    if (auto prefix = file.get("mqtt", "discovery-prefix"); !prefix.empty()) {
      mqtt.discoveryPrefix = prefix;
    }
    if (!checkPrefix("topic-prefix", mqtt.topicPrefix, &error) ||
        !checkPrefix("discovery-prefix", mqtt.discoveryPrefix, &error)) {
      return failure(2, error);
    }
    mqtt.clientId = file.get("mqtt", "client-id");
    if (mqtt.clientId.empty()) mqtt.clientId = "nuv-bridge-" + MqttMessages::reduceId(host);
    if (auto cafile = file.get("mqtt", "cafile"); !cafile.empty()) {
      if (!mqtt.tls) return failure(2, "[mqtt] cafile is for an mqtts:// broker, not " + url);
      mqtt.cafile = absolute(cafile);
      if (::access(mqtt.cafile.c_str(), R_OK) != 0) {
        return failure(2, "cannot read the cafile " + mqtt.cafile + ": " + std::strerror(errno));
      }
    }
    if (auto passwordFile = file.get("mqtt", "password-file"); !passwordFile.empty()) {
      if (mqtt.username.empty()) return failure(2, "[mqtt] password-file needs a username");
      std::string password;
      if (!readPassword(absolute(passwordFile), &password, &error)) return failure(1, error);
      mqtt.password = std::move(password);
    }
    settings.mqtt = std::move(mqtt);
  }

  if (!settings.listen && settings.textfile.empty() && !settings.mqtt) {
    return failure(2, "nothing to do: give --listen, --textfile or --mqtt, or set them in " + path);
  }
  return {std::move(settings), 0, {}};
}

}  // namespace nuvbridge
