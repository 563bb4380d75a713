#include "RotationState.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ProbeStateFolder.h"

namespace nuv {
namespace {

using linux_backend::UniqueFd;

constexpr const char* kHeader = "nuv-probe-rotation 1";

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
      if (!ProbeStateFolder::unescape(line, &udid)) return {};
      out.push_back(std::move(udid));
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return out;
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
  const auto text = ProbeStateFolder::read(directory_, kFileName);
  return text ? parse(*text) : std::vector<std::string>{};
}

bool RotationState::update(
    const std::function<std::vector<std::string>(std::vector<std::string>)>& change) {
  // Locked until `dir` is closed on return.
  const UniqueFd dir = ProbeStateFolder::lock(directory_);
  if (!dir) return false;
  std::string text = std::string(kHeader) + "\n";
  for (const auto& udid : change(load())) text += ProbeStateFolder::escape(udid) + "\n";
  return replaceState(dir.get(), text);
}

}  // namespace nuv
