#include "ProbeStateFolder.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/linux/GlibHandles.h"
#include "platform/linux/runtime/DurableFile.h"

namespace nuv {
namespace {

using linux_backend::UniqueFd;

constexpr gsize kMaxFileSize = 64 * 1024;
constexpr auto kLockWait = std::chrono::milliseconds(500);
constexpr auto kLockRetry = std::chrono::milliseconds(5);

bool lockWithin(int fd, std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kLockRetry);
  }
  return true;
}

}  // namespace

UniqueFd ProbeStateFolder::lock(const std::string& directory) {
  if (directory.empty() || g_mkdir_with_parents(directory.c_str(), 0700) != 0) return {};
  UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0 || st.st_uid != ::geteuid()) return {};
  if ((st.st_mode & 077) != 0 && ::fchmod(fd.get(), 0700) != 0) return {};
  if (!lockWithin(fd.get(), kLockWait)) return {};
  return fd;
}

bool ProbeStateFolder::rewrite(const std::string& directory, const char* name,
                               const std::function<std::string()>& make) {
  // Locked until `dir` is closed on return.
  const UniqueFd dir = lock(directory);
  return dir && linux_backend::DurableFile::replace(directory + "/" + name, make());
}

std::optional<std::string> ProbeStateFolder::read(const std::string& directory, const char* name) {
  if (directory.empty()) return std::nullopt;
  const std::string path = directory + "/" + name;
  gchar* raw = nullptr;
  gsize size = 0;
  if (!g_file_get_contents(path.c_str(), &raw, &size, nullptr)) return std::nullopt;
  glib::String contents(raw);
  if (size > kMaxFileSize) return std::nullopt;
  return std::string(raw, size);
}

std::string ProbeStateFolder::escape(std::string_view udid) {
  std::string out;
  for (const unsigned char c : udid) {
    if (c <= 0x20 || c >= 0x7F || c == '%') {
      char buffer[4];
      std::snprintf(buffer, sizeof buffer, "%%%02X", c);
      out += buffer;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

bool ProbeStateFolder::unescape(std::string_view text, std::string* udid) {
  udid->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c <= 0x20 || c >= 0x7F) return false;  // escape() never writes these
    if (c != '%') {
      udid->push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int hi = g_ascii_xdigit_value(text[i + 1]), lo = g_ascii_xdigit_value(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    udid->push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return !udid->empty();
}

}  // namespace nuv
