#pragma once

#include <string>
#include <string_view>

namespace nuv::linux_backend {

// Files that must survive a crash whole and that readers never see half
// written: the user defaults, the web auth token, the cloud state files (all
// private), the bridge's metrics textfile (read by another user's exporter).
class DurableFile {
 public:
  // Replaces the file at `path` with `content`, with `mode`: a new file
  // (named `path` plus a dot and six random characters) is written, flushed
  // to disk and renamed over the old one, then the folder is flushed, so that
  // a crash leaves the old content or the new, never a torn file, and a
  // failed write leaves the old file as it was. A missing folder is created
  // (0700). Returns false with the reason in `error`.
  static bool replace(const std::string& path, std::string_view content,
                      std::string* error = nullptr, int mode = 0600);
  // The whole file; "" when it is missing or cannot be read.
  static std::string read(const std::string& path);
};

}  // namespace nuv::linux_backend
