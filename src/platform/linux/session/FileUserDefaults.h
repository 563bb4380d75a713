#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/UserDefaults.h"

namespace nuv::linux_backend {

// User defaults in one file: the GVariant text (typed) of an a{sv}, dates as
// x (microseconds since the Unix epoch, UTC).
//
// The file is read once at construction and again at every synchronize(),
// which lays this process's pending changes over what is on disk (another
// process may have written other keys meanwhile) and writes the result
// atomically and durably with mode 0600. A missing file is empty. A
// truncated, corrupt or foreign file also reads as empty, with one log line;
// before it is first replaced it is kept beside the new one as
// "<file>.unreadable". A failed write leaves the previous file untouched and
// keeps the changes pending. Thread-safe.
class FileUserDefaults : public UserDefaults {
 public:
  static constexpr const char* kFileName = "defaults.gvariant";
  // Files larger than this are not read (they are not ours).
  static constexpr std::size_t kMaxFileSize = 16 * 1024 * 1024;

  // ${XDG_CONFIG_HOME:-~/.config}/<bundle id>/defaults.gvariant; absent when
  // the identifier is not usable as one path component.
  static std::optional<std::string> pathForBundleIdentifier(const std::string& identifier);
  // The defaults of the given bundle; without a usable identifier they live
  // in memory only (one log line says so).
  static std::unique_ptr<FileUserDefaults> forBundleIdentifier(
      const std::optional<std::string>& identifier);

  // An empty path keeps the defaults in memory only.
  explicit FileUserDefaults(std::string path);

  std::optional<Value> objectForKey(const std::string& key) const override;
  void setValueForKey(const Value& value, const std::string& key) override;
  void removeObjectForKey(const std::string& key) override;
  bool synchronize() override;

  // Removes the temporary files that writes cut short (the process killed
  // mid-save) left beside the file, "<file>.XXXXXX", when they were last
  // changed before `olderThan`: at start-up, the process's own start, so
  // that a save another process has in flight is left alone. Never touches
  // the file itself. Returns how many were removed.
  std::size_t removeLeftoverTemporaryFiles(Date olderThan);

  const std::string& path() const { return path_; }

 private:
  enum class FileState { Missing, Readable, Unreadable };
  FileState readFile(Dictionary* out);
  bool writeFile(const Dictionary& values);

  mutable std::mutex mutex_;
  const std::string path_;
  Dictionary values_;
  // Changes not yet written: a value, or absent for a removal.
  std::map<std::string, std::optional<Value>> pending_;
  // The unreadable file was reported already (one line per bad file).
  bool reportedUnreadable_ = false;
};

}  // namespace nuv::linux_backend
