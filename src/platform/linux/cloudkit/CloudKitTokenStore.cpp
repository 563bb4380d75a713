#include "platform/linux/cloudkit/CloudKitTokenStore.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/linux/GlibHandles.h"
#include "platform/linux/runtime/DurableFile.h"

namespace nuv::linux_backend {
namespace {

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool makeDirectories(const std::string& dir) {
  return g_mkdir_with_parents(dir.c_str(), 0700) == 0;
}

std::string trimmed(std::string s) {
  const auto begin = s.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return {};
  const auto end = s.find_last_not_of(" \t\r\n");
  return s.substr(begin, end - begin + 1);
}

}  // namespace

CloudKitTokenStore::Lock::Lock(const std::string& lockPath) {
  makeDirectories(directoryOf(lockPath));
  fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) return;
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
  }
}

CloudKitTokenStore::Lock::~Lock() {
  if (fd_ >= 0) ::close(fd_);  // releases the lock
}

CloudKitTokenStore::CloudKitTokenStore(std::string tokenPath, std::string statePath,
                                       std::string lockPath)
    : tokenPath_(std::move(tokenPath)),
      statePath_(std::move(statePath)),
      lockPath_(std::move(lockPath)) {}

std::optional<std::string> CloudKitTokenStore::readToken() const {
  std::ifstream in(tokenPath_);
  if (!in) return std::nullopt;
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::string token = trimmed(buffer.str());
  if (token.empty()) return std::nullopt;
  return token;
}

bool CloudKitTokenStore::writeToken(const std::string& token, std::string* error) const {
  return DurableFile::replace(tokenPath_, token + "\n", error);
}

bool CloudKitTokenStore::removeToken() const {
  return ::unlink(tokenPath_.c_str()) == 0 || errno == ENOENT;
}

CloudKitTokenStore::State CloudKitTokenStore::readState() const {
  State state;
  nuv::glib::KeyFile file(g_key_file_new());
  if (!g_key_file_load_from_file(file.get(), statePath_.c_str(), G_KEY_FILE_NONE, nullptr)) {
    return state;
  }
  auto get = [&](const char* key) {
    gchar* v = g_key_file_get_string(file.get(), "state", key, nullptr);
    std::string s = v ? v : "";
    g_free(v);
    return s;
  };
  state.lastError = get("last_error");
  state.lastErrorTime = get("last_error_time");
  state.lastSuccessTime = get("last_success_time");
  state.signInURL = get("sign_in_url");
  return state;
}

void CloudKitTokenStore::writeState(const State& state) const {
  nuv::glib::KeyFile file(g_key_file_new());
  auto set = [&](const char* key, const std::string& value) {
    if (!value.empty()) g_key_file_set_string(file.get(), "state", key, value.c_str());
  };
  set("last_error", state.lastError);
  set("last_error_time", state.lastErrorTime);
  set("last_success_time", state.lastSuccessTime);
  set("sign_in_url", state.signInURL);
  gsize length = 0;
  gchar* data = g_key_file_to_data(file.get(), &length, nullptr);
  DurableFile::replace(statePath_, std::string_view(data ? data : "", length));
  g_free(data);
}

std::optional<std::string> CloudKitTokenStore::tokenFromCallback(std::string_view text) {
  std::string input = trimmed(std::string(text));
  std::string token;
  bool found = false;
  for (std::string_view key : {"ckWebAuthToken=", "ckSession="}) {
    for (auto pos = input.find(key); pos != std::string::npos; pos = input.find(key, pos + 1)) {
      // Only a whole parameter name counts, not the end of a longer one.
      if (pos != 0 && input[pos - 1] != '?' && input[pos - 1] != '&' && input[pos - 1] != '#') {
        continue;
      }
      const auto begin = pos + key.size();
      const auto end = input.find_first_of("&#", begin);
      const std::string raw = input.substr(begin, end == std::string::npos ? end : end - begin);
      // Percent-decoding only: a '+' is part of the token, not a space.
      for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '%' && i + 2 < raw.size() &&
            std::isxdigit(static_cast<unsigned char>(raw[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(raw[i + 2]))) {
          token += static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16));
          i += 2;
        } else {
          token += raw[i];
        }
      }
      found = true;
      break;
    }
    if (found) break;
  }
  if (!found) token = input;
  if (token.empty()) return std::nullopt;
  for (unsigned char c : token) {
    if (c <= ' ' || c == 0x7f) return std::nullopt;
  }
  return token;
}

}  // namespace nuv::linux_backend
