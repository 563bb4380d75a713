#include "platform/linux/runtime/DurableFile.h"

#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nuv::linux_backend {

bool DurableFile::replace(const std::string& path, std::string_view content, std::string* error,
                          int mode) {
  gchar* dir = g_path_get_dirname(path.c_str());
  const std::string folder = dir;
  g_free(dir);
  if (g_mkdir_with_parents(folder.c_str(), 0700) != 0) {
    if (error) *error = "cannot create " + folder + ": " + std::strerror(errno);
    return false;
  }
  GError* failure = nullptr;
  if (!g_file_set_contents_full(path.c_str(), content.data(), static_cast<gssize>(content.size()),
                                static_cast<GFileSetContentsFlags>(G_FILE_SET_CONTENTS_CONSISTENT |
                                                                   G_FILE_SET_CONTENTS_DURABLE),
                                mode, &failure)) {
    if (error) *error = failure ? failure->message : "cannot write " + path;
    if (failure) g_error_free(failure);
    return false;
  }
  // The rename itself reaches the disk only with the folder.
  const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

std::string DurableFile::read(const std::string& path) {
  gchar* text = nullptr;
  gsize size = 0;
  if (!g_file_get_contents(path.c_str(), &text, &size, nullptr)) return {};
  std::string out(text, size);
  g_free(text);
  return out;
}

}  // namespace nuv::linux_backend
