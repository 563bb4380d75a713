#pragma once

// Runs tests/integration/fakecloudkit.py as a child process on a loopback
// port, and drives its control endpoints. Header-only: shared by the unit
// tests and the benchmark.

#include <curl/curl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

extern char** environ;

namespace nuv::testing {

class FakeCloudKitServer {
 public:
  // `script` is the path of fakecloudkit.py. Throws when it does not start
  // within 10 s.
  explicit FakeCloudKitServer(const std::string& script) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const char* argv[] = {"/usr/bin/python3", script.c_str(), nullptr};
    const int rc =
        posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
      close(out[0]);
      throw std::runtime_error("cannot start fakecloudkit.py");
    }
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[64];
      const ssize_t n = read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    if (line.rfind("PORT ", 0) != 0) {
      stop();
      throw std::runtime_error("fakecloudkit.py did not report its port");
    }
    port_ = std::stoi(line.substr(5));
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
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, payload.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* d, size_t s, size_t n, void* u) -> size_t {
          static_cast<std::string*>(u)->append(d, s * n);
          return s * n;
        });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    const CURLcode code = curl_easy_perform(curl);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (code != CURLE_OK) throw std::runtime_error("control request failed");
    return nlohmann::json::parse(answer);
  }

 private:
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace nuv::testing
