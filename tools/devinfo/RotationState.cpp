#include "RotationState.h"

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
#include "platform/linux/runtime/UniqueFd.h"

namespace nuv {
namespace {

using linux_backend::UniqueFd;

constexpr const char* kHeader = "nuv-probe-rotation 1";
constexpr gsize kMaxFileSize = 64 * 1024;
constexpr auto kLockWait = std::chrono::milliseconds(500);
constexpr auto kLockRetry = std::chrono::milliseconds(5);

// UDIDs come from usbmuxd; one per line, so bytes that could break a line
// (or are not plain ASCII) are written as %XX.
std::string escape(const std::string& udid) {
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

bool unescape(std::string_view text, std::string* udid) {
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

std::vector<std::string> parse(std::string_view text) {
  std::vector<std::string> out;
  if (text.empty() || text.back() != '\n') return {};  // cut short
  text.remove_suffix(1);
  bool first = true;
  while (true) {
    const auto end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (first) {
      if (line != kHeader) return {};
      first = false;
    } else {
      std::string udid;
      if (!unescape(line, &udid)) return {};
      out.push_back(std::move(udid));
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return out;
}

// The folder, created if missing, opened without following a link, and only
// when it belongs to this user; group and others lose any access.
UniqueFd openDirectory(const std::string& path) {
  if (g_mkdir_with_parents(path.c_str(), 0700) != 0) return {};
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0 || st.st_uid != ::geteuid()) return {};
  if ((st.st_mode & 077) != 0 && ::fchmod(fd.get(), 0700) != 0) return {};
  return fd;
}

bool lockWithin(int fd, std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kLockRetry);
  }
  return true;
}

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Writes `text` to a temporary file and renames it over the state file, so
// readers (who take no lock) see the old file or the new one. Only one writer
// holds the lock, so the temporary name is fixed; one left by a writer that
// died mid-write is simply truncated. No fsync: the folder lives in memory
// (XDG_RUNTIME_DIR), and a file lost to a crash reads as "nothing reported".
bool replaceState(int dirFd, const std::string& text) {
  const std::string temp = std::string(RotationState::kFileName) + ".new";
  const UniqueFd fd(
      ::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  // fchmod: the umask must not narrow it, an older file must not widen it.
  if (!fd || ::fchmod(fd.get(), 0600) != 0 || !writeAll(fd.get(), text)) {
    ::unlinkat(dirFd, temp.c_str(), 0);
    return false;
  }
  return ::renameat(dirFd, temp.c_str(), dirFd, RotationState::kFileName) == 0;
}

}  // namespace

RotationState::RotationState(std::string directory) : directory_(std::move(directory)) {}

std::string RotationState::defaultDirectory() {
  return std::string(g_get_user_runtime_dir()) + "/vemo.Tallyport.NUVModule";
}

std::vector<std::string> RotationState::load() const {
  if (directory_.empty()) return {};
  const std::string path = directory_ + "/" + kFileName;
  gchar* raw = nullptr;
  gsize size = 0;
  if (!g_file_get_contents(path.c_str(), &raw, &size, nullptr)) return {};
  glib::String contents(raw);
  if (size > kMaxFileSize) return {};
  return parse(std::string_view(raw, size));
}

bool RotationState::update(
    const std::function<std::vector<std::string>(std::vector<std::string>)>& change) {
  if (directory_.empty()) return false;
  const UniqueFd dir = openDirectory(directory_);
  // Held until `dir` is closed on return.
  if (!dir || !lockWithin(dir.get(), kLockWait)) return false;
  std::string text = std::string(kHeader) + "\n";
  for (const auto& udid : change(load())) text += escape(udid) + "\n";
  return replaceState(dir.get(), text);
}

}  // namespace nuv
