#pragma once

#include <string>
#include <string_view>

namespace nuv::linux_backend {

// Private files that must survive a crash whole: the user defaults, the web
// auth token, the cloud state files.
class DurableFile {
 public:
  // Replaces the file at `path` with `content`, mode 0600: a new file is
  // written, flushed to disk and renamed over the old one, then the folder is
  // flushed, so that a crash leaves the old content or the new, never a torn
  // file, and a failed write leaves the old file as it was. A missing folder is
  // created (0700). Returns false with the reason in `error`.
  static bool replace(const std::string& path, std::string_view content,
                      std::string* error = nullptr);
  // The whole file; "" when it is missing or cannot be read.
  static std::string read(const std::string& path);
};

}  // namespace nuv::linux_backend
