#include "BridgeSettings.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <glib/gi18n.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <set>

#include "MqttMessages.h"
#include "platform/linux/GlibHandles.h"
#include "platform/linux/process/XdgDirs.h"
#include "platform/linux/runtime/LocaleText.h"
#include "platform/linux/runtime/UniqueFd.h"

namespace nuvbridge {

using nuv::linux_backend::LocaleText;

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
      *error = path + ": " + failed->message;  // GLib's words, in the user's language
      return false;
    }
    gsize groups = 0;
    nuv::glib::Strv names(g_key_file_get_groups(file.get(), &groups));
    for (gsize g = 0; g < groups; ++g) {
      const char* group = names.get()[g];
      auto known = knownKeys().find(group);
      if (known == knownKeys().end()) {
        // TRANSLATORS: the settings file, then the group ("[mqtt]").
        *error = LocaleText::format(_("%s: unknown group [%s]"), path.c_str(), group);
        return false;
      }
      gsize count = 0;
      nuv::glib::Strv keys(g_key_file_get_keys(file.get(), group, &count, nullptr));
      for (gsize k = 0; k < count; ++k) {
        const char* key = keys.get()[k];
        if (!known->second.count(key)) {
          *error =
              // TRANSLATORS: the settings file, the key and its group.
              LocaleText::format(_("%s: unknown key \"%s\" in [%s]"), path.c_str(), key, group);
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
    // TRANSLATORS: the URL, then what is wrong with it.
    *error = LocaleText::format(_("bad MQTT URL \"%s\": %s"), url.c_str(), bad->message);
    return false;
  }
  const std::string scheme = g_uri_get_scheme(uri.get());
  const char* host = g_uri_get_host(uri.get());
  const std::string path = g_uri_get_path(uri.get());
  const char* const kForms =
      // TRANSLATORS: %s is the URL; mqtt://HOST[:PORT] stays as it is.
      N_("bad MQTT URL \"%s\": use mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
  if (scheme != "mqtt" && scheme != "mqtts") {
    *error = LocaleText::format(_(kForms), url.c_str());
    return false;
  }
  if (g_uri_get_userinfo(uri.get())) {
    *error = LocaleText::format(
        // TRANSLATORS: %s is the URL; [mqtt] username and password-file stay as they are.
        _("bad MQTT URL \"%s\": give the user name as [mqtt] username and the password in a "
          "password-file"),
        url.c_str());
    return false;
  }
  if (!host || !*host || (!path.empty() && path != "/") || g_uri_get_query(uri.get()) ||
      g_uri_get_fragment(uri.get())) {
    *error = LocaleText::format(_(kForms), url.c_str());
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
    // TRANSLATORS: the key ("topic-prefix"), then what was given.
    *error = LocaleText::format(_("[mqtt] %s must be a topic without + or #, not \"%s\""), key,
                                prefix.c_str());
    return false;
  }
  return true;
}

// The password: the file's first line. The file must be the user's alone.
bool readPassword(const std::string& path, std::string* password, std::string* error) {
  nuv::linux_backend::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  struct stat st {};
  // TRANSLATORS: the password file, then the reason.
  const char* const kUnreadable = N_("cannot read the password file %s: %s");
  if (!fd || ::fstat(fd.get(), &st) != 0) {
    *error = LocaleText::format(_(kUnreadable), path.c_str(), g_strerror(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    // TRANSLATORS: %s is the password file.
    *error = LocaleText::format(_("the password file %s is not a regular file"), path.c_str());
    return false;
  }
  if (st.st_mode & 077) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *error = LocaleText::format((st.st_mode & 044)
                                    // TRANSLATORS: the password file, its mode ("0644"), and the
                                    // file again in the command that mends it.
                                    ? _("the password file %s can be read by other users (mode "
                                        "%s); make it yours alone: chmod 600 '%s'")
                                    : _("the password file %s can be changed by other users (mode "
                                        "%s); make it yours alone: chmod 600 '%s'"),
                                path.c_str(), mode, path.c_str());
    return false;
  }
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd.get(), buffer, sizeof buffer)) > 0 && text.size() < 65536) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  if (n < 0) {
    *error = LocaleText::format(_(kUnreadable), path.c_str(), g_strerror(errno));
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
    *error = LocaleText::format(
        // TRANSLATORS: %s is what was given; ADDR:PORT as in the help of --listen.
        _("bad listen address \"%s\": use ADDR:PORT, for example 127.0.0.1:9101"), text.c_str());
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
    *error = LocaleText::format(
        // TRANSLATORS: what was given, then its host part.
        _("bad listen address \"%s\": \"%s\" is not an IP address (0.0.0.0 for every interface)"),
        text.c_str(), host.c_str());
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
      if (!mqtt.tls) {
        // TRANSLATORS: %s is the broker's URL; [mqtt] cafile stays as it is.
        return failure(2, LocaleText::format(_("[mqtt] cafile is for an mqtts:// broker, not %s"),
                                             url.c_str()));
      }
      mqtt.cafile = absolute(cafile);
      if (::access(mqtt.cafile.c_str(), R_OK) != 0) {
        // TRANSLATORS: the certificate file, then the reason.
        return failure(2, LocaleText::format(_("cannot read the cafile %s: %s"),
                                             mqtt.cafile.c_str(), g_strerror(errno)));
      }
    }
    if (auto passwordFile = file.get("mqtt", "password-file"); !passwordFile.empty()) {
      if (mqtt.username.empty()) return failure(2, _("[mqtt] password-file needs a username"));
      std::string password;
      if (!readPassword(absolute(passwordFile), &password, &error)) return failure(1, error);
      mqtt.password = std::move(password);
    }
    settings.mqtt = std::move(mqtt);
  }

  if (!settings.listen && settings.textfile.empty() && !settings.mqtt) {
    return failure(2,
                   LocaleText::format(
                       // TRANSLATORS: %s is the settings file.
                       _("nothing to do: give --listen, --textfile or --mqtt, or set them in %s"),
                       path.c_str()));
  }
  return {std::move(settings), 0, {}};
}

}  // namespace nuvbridge
