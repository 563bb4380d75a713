#include "platform/linux/sqlite/SqliteSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace nuv::linux_backend::sqlite {
namespace {

// Takes group and other permissions away from an existing file or folder of
// ours; anything else (missing, not ours) is left alone.
void tighten(const std::string& path, mode_t mode) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return;
  if ((st.st_mode & 07777) != mode && st.st_uid == ::geteuid()) ::chmod(path.c_str(), mode);
}

}  // namespace

bool makePrivate(const std::string& path, bool privateFolder, std::string* error) {
  const auto dir = std::filesystem::path(path).parent_path();
  if (!dir.empty()) {
    // Folders that are missing are made private to the user; of the ones
    // there, only the store's own folder is tightened.
    std::filesystem::path made;
    for (const auto& part : dir) {
      made /= part;
      if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST) {
        if (error) *error = "cannot create " + made.string() + ": " + std::strerror(errno);
        return false;
      }
    }
    if (privateFolder) tighten(dir.string(), 0700);
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
  for (const char* suffix : {"", "-wal", "-shm"}) tighten(path + suffix, 0600);
  return true;
}

}  // namespace nuv::linux_backend::sqlite
