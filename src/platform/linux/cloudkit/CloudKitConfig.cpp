#include "platform/linux/cloudkit/CloudKitConfig.h"

#include <glib.h>

#include <memory>

#include "platform/linux/GlibHandles.h"
#include "platform/linux/process/XdgDirs.h"

namespace nuv::linux_backend {
namespace {

constexpr const char* kGroup = "cloud";

std::string stringKey(GKeyFile* file, const char* key, const std::string& fallback) {
  gchar* value = g_key_file_get_string(file, kGroup, key, nullptr);
  if (!value) return fallback;
  std::string result(value);
  g_free(value);
  return result;
}

long numberKey(GKeyFile* file, const char* key, long fallback, std::string* problems) {
  GError* err = nullptr;
  const gint64 value = g_key_file_get_int64(file, kGroup, key, &err);
  if (err) {
    const bool absent = err->code == G_KEY_FILE_ERROR_KEY_NOT_FOUND ||
                        err->code == G_KEY_FILE_ERROR_GROUP_NOT_FOUND;
    g_error_free(err);
    if (!absent && problems) *problems += std::string(key) + " is not a number; ";
    return fallback;
  }
  if (value <= 0 || value > 600'000) {
    if (problems) *problems += std::string(key) + " must be 1..600000; ";
    return fallback;
  }
  return static_cast<long>(value);
}

}  // namespace

std::string CloudKitConfig::defaultDirectory() {
  return xdgBaseDirectory("XDG_CONFIG_HOME", ".config") + "/vemo.Tallyport.NUVModule";
}

CloudKitConfig CloudKitConfig::load(const std::string& directory, std::string* error) {
  CloudKitConfig config;
  config.directory = directory;
  if (error) error->clear();
  nuv::glib::KeyFile file(g_key_file_new());
  GError* err = nullptr;
  if (!g_key_file_load_from_file(file.get(), config.configPath().c_str(), G_KEY_FILE_NONE, &err)) {
    const bool missing = err->domain == G_FILE_ERROR && err->code == G_FILE_ERROR_NOENT;
    if (!missing && error) *error = config.configPath() + ": " + err->message;
    g_error_free(err);
    return config;
  }
  std::string problems;
  const std::string backend = stringKey(file.get(), "backend", "local");
  if (backend == "cloudkit") {
    config.backend = Backend::CloudKit;
  } else if (backend != "local") {
    config.backend = Backend::Unknown;
    problems += "backend must be local or cloudkit; ";
  }
  config.environment = stringKey(file.get(), "environment", config.environment);
  config.apiToken = stringKey(file.get(), "api_token", "");
  config.endpoint = stringKey(file.get(), "endpoint", config.endpoint);
  while (!config.endpoint.empty() && config.endpoint.back() == '/') config.endpoint.pop_back();
  config.connectTimeoutMs =
      numberKey(file.get(), "connect_timeout_ms", config.connectTimeoutMs, &problems);
  config.timeoutMs = numberKey(file.get(), "timeout_ms", config.timeoutMs, &problems);
  if (!problems.empty() && error) {
    problems.resize(problems.size() - 2);
    *error = config.configPath() + ": " + problems;
  }
  return config;
}

bool CloudKitConfig::isLoopbackEndpoint(const std::string& endpoint) {
  std::string rest;
  if (endpoint.rfind("http://", 0) == 0) {
    rest = endpoint.substr(7);
  } else if (endpoint.rfind("https://", 0) == 0) {
    rest = endpoint.substr(8);
  } else {
    return false;
  }
  std::string host;
  if (!rest.empty() && rest[0] == '[') {
    const auto close = rest.find(']');
    if (close == std::string::npos) return false;
    host = rest.substr(0, close + 1);
    rest = rest.substr(close + 1);
  } else {
    const auto end = rest.find_first_of(":/?#@");
    host = rest.substr(0, end);
    rest = end == std::string::npos ? "" : rest.substr(end);
  }
  // Anything after the host other than a port and a path (user info, a query)
  // could make libcurl talk to another host.
  if (!rest.empty() && rest[0] != ':' && rest[0] != '/') return false;
  return host == "127.0.0.1" || host == "localhost" || host == "[::1]";
}

std::string CloudKitConfig::problem() const {
  if (environment != "development" && environment != "production") {
    return "environment must be development or production";
  }
  if (apiToken.empty()) return "no api_token in " + configPath();
  const bool https = endpoint.rfind("https://", 0) == 0 && endpoint.size() > 8;
  if (!https && !isLoopbackEndpoint(endpoint)) {
    return "endpoint must be an https URL, or http on a loopback address";
  }
  if (endpoint.find_first_of(" \t\r\n?#") != std::string::npos) {
    return "endpoint must not contain spaces, a query or a fragment";
  }
  return {};
}

}  // namespace nuv::linux_backend
