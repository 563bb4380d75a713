#pragma once

#include <string>

namespace nuv::linux_backend {

// Settings of the shared-cloud backend, read from the key file
// <directory>/cloud.conf, group [cloud]:
//
//   backend=local|cloudkit     (local, the embedded database, is the default)
//   environment=development|production
//   api_token=...              (the container's API token; never logged)
//   endpoint=https://api.apple-cloudkit.com
//   connect_timeout_ms=10000
//   timeout_ms=30000
//
// The same directory holds the web auth token (webauth.token, mode 0600), the
// last outcome shown by `nuvctl cloud status` (cloud.state), the lock file
// that keeps requests of all processes one at a time (cloud.lock) and the
// module's write status (cloud.writes).
struct CloudKitConfig {
  // Unknown: cloud.conf names another backend; the module then runs with
  // the local one and `nuvctl cloud status` says what to fix.
  enum class Backend { Local, CloudKit, Unknown };

  static constexpr const char* kDefaultEndpoint = "https://api.apple-cloudkit.com";

  Backend backend = Backend::Local;
  std::string environment = "development";
  std::string apiToken;
  std::string endpoint = kDefaultEndpoint;
  long connectTimeoutMs = 10'000;
  long timeoutMs = 30'000;
  std::string directory;

  // ${XDG_CONFIG_HOME:-~/.config}/vemo.Tallyport.NUVModule
  static std::string defaultDirectory();

  // The settings in `directory`. A missing file gives the defaults (local
  // backend); an unreadable or malformed file gives the defaults too, with
  // the reason in `error`.
  static CloudKitConfig load(const std::string& directory, std::string* error = nullptr);

  // Empty when the cloudkit backend can send requests with these settings;
  // otherwise what is wrong, fit for the user. The endpoint must be https
  // (the certificate is always verified), or plain http to a loopback
  // address (the local test server).
  std::string problem() const;

  static bool isLoopbackEndpoint(const std::string& endpoint);

  std::string configPath() const { return directory + "/cloud.conf"; }
  std::string tokenPath() const { return directory + "/webauth.token"; }
  std::string statePath() const { return directory + "/cloud.state"; }
  std::string lockPath() const { return directory + "/cloud.lock"; }
  // The module's battery writes (CloudWriteStatusFile), whatever the backend.
  std::string writeStatusPath() const { return directory + "/cloud.writes"; }
};

}  // namespace nuv::linux_backend
