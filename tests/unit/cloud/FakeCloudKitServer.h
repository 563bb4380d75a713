#pragma once

// Runs tests/integration/fakecloudkit.py as a child process on a loopback
// port, and drives its control endpoints. Header-only: shared by the unit
// tests and the benchmark.

#include <curl/curl.h>
#include <signal.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

namespace nuv::testing {

class FakeCloudKitServer {
 public:
  // `script` is the path of fakecloudkit.py; it reports its port and process
  // id first.
  explicit FakeCloudKitServer(const std::string& script)
      : out_(popen(("exec /usr/bin/python3 '" + script + "'").c_str(), "r")) {
    if (!out_ || std::fscanf(out_, "PORT %d %d", &port_, &pid_) != 2) {
      stop();
      throw std::runtime_error("fakecloudkit.py did not report its port");
    }
  }

  ~FakeCloudKitServer() { stop(); }
  FakeCloudKitServer(const FakeCloudKitServer&) = delete;
  FakeCloudKitServer& operator=(const FakeCloudKitServer&) = delete;

  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }

  nlohmann::json control(const std::string& command, const nlohmann::json& body = {}) {
    const std::string url = endpoint() + "/_control/" + command;
    const std::string payload = body.is_null() ? "{}" : body.dump();
    std::string answer;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, payload.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* d, size_t s, size_t n, void* u) -> size_t {
          static_cast<std::string*>(u)->append(d, s * n);
          return s * n;
        });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (code != CURLE_OK) throw std::runtime_error("control request failed");
    return nlohmann::json::parse(answer);
  }

 private:
  void stop() {
    if (!out_) return;
    if (pid_ > 0) kill(pid_, SIGTERM);
    pclose(out_);  // waits for the server to end
    out_ = nullptr;
  }

  FILE* out_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace nuv::testing
