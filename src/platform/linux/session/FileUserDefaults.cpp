#include "platform/linux/session/FileUserDefaults.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/Log.h"
#include "platform/linux/GlibHandles.h"
#include "platform/linux/bus/VariantCodec.h"
#include "platform/linux/runtime/DurableFile.h"

namespace nuv::linux_backend {

std::optional<std::string> FileUserDefaults::pathForBundleIdentifier(
    const std::string& identifier) {
  // The identifier comes from Info.plist: it must stay one path component.
  if (identifier.empty() || identifier == "." || identifier == ".." ||
      identifier.find('/') != std::string::npos || identifier.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  glib::String path(g_build_filename(g_get_user_config_dir(), identifier.c_str(), kFileName,
                                     static_cast<const char*>(nullptr)));
  return std::string(path.get());
}

std::unique_ptr<FileUserDefaults> FileUserDefaults::forBundleIdentifier(
    const std::optional<std::string>& identifier) {
  std::optional<std::string> path;
  if (identifier) path = pathForBundleIdentifier(*identifier);
  if (!path) {
    log::warning("no usable bundle identifier; user defaults are kept in memory only");
    return std::make_unique<FileUserDefaults>(std::string());
  }
  return std::make_unique<FileUserDefaults>(*path);
}

FileUserDefaults::FileUserDefaults(std::string path) : path_(std::move(path)) {
  std::lock_guard lock(mutex_);
  readFile(&values_);
}

std::optional<Value> FileUserDefaults::objectForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

void FileUserDefaults::setValueForKey(const Value& value, const std::string& key) {
  std::lock_guard lock(mutex_);
  values_.insert_or_assign(key, value);
  pending_.insert_or_assign(key, value);
}

void FileUserDefaults::removeObjectForKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  values_.erase(key);
  pending_.insert_or_assign(key, std::nullopt);
}

bool FileUserDefaults::synchronize() {
  std::lock_guard lock(mutex_);
  if (path_.empty()) {
    pending_.clear();
    return true;
  }
  Dictionary merged;
  const FileState state = readFile(&merged);
  for (const auto& [key, change] : pending_) {
    if (change) {
      merged.insert_or_assign(key, *change);
    } else {
      merged.erase(key);
    }
  }
  if (pending_.empty()) {
    values_ = std::move(merged);
    return true;
  }
  if (state == FileState::Unreadable) {
    // Keep what we could not read instead of destroying it. A hard link
    // leaves the file in place should the write below fail.
    const std::string aside = path_ + ".unreadable";
    g_unlink(aside.c_str());
    if (link(path_.c_str(), aside.c_str()) == 0) {
      log::warning("unreadable user defaults file kept as " + aside);
    }
  }
  if (!writeFile(merged)) return false;
  pending_.clear();
  values_ = std::move(merged);
  return true;
}

std::size_t FileUserDefaults::removeLeftoverTemporaryFiles(Date olderThan) {
  if (path_.empty()) return 0;
  glib::String dirName(g_path_get_dirname(path_.c_str()));
  glib::String base(g_path_get_basename(path_.c_str()));
  // g_file_set_contents_full writes "<file>.XXXXXX" (g_mkstemp: six letters
  // or digits) and renames it over the file.
  const std::string prefix = std::string(base.get()) + ".";
  auto isTemporary = [&prefix](const char* name) {
    const std::string_view n(name);
    if (n.size() != prefix.size() + 6 || !n.starts_with(prefix)) return false;
    for (char c : n.substr(prefix.size())) {
      if (!g_ascii_isalnum(c)) return false;
    }
    return true;
  };
  glib::Dir dir(g_dir_open(dirName.get(), 0, nullptr));
  if (!dir) return 0;
  std::size_t removed = 0;
  while (const char* name = g_dir_read_name(dir.get())) {
    if (!isTemporary(name)) continue;
    glib::String full(g_build_filename(dirName.get(), name, static_cast<const char*>(nullptr)));
    struct stat st {};
    if (lstat(full.get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const std::int64_t changed =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000 + st.st_mtim.tv_nsec / 1000;
    if (changed >= olderThan.microseconds()) continue;
    if (g_unlink(full.get()) == 0) ++removed;
  }
  return removed;
}

// Reads the file into `out` (left empty unless the file is readable).
FileUserDefaults::FileState FileUserDefaults::readFile(Dictionary* out) {
  out->clear();
  if (path_.empty()) return FileState::Missing;
  auto unreadable = [&](const std::string& why) {
    if (!reportedUnreadable_) {
      log::warning("user defaults file " + path_ + " is unreadable (" + why + "); read as empty");
      reportedUnreadable_ = true;
    }
    return FileState::Unreadable;
  };
  GStatBuf st;
  if (g_stat(path_.c_str(), &st) != 0) {
    if (errno == ENOENT) {
      reportedUnreadable_ = false;
      return FileState::Missing;
    }
    return unreadable(std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) return unreadable("not a regular file");
  if (static_cast<std::size_t>(st.st_size) > kMaxFileSize) return unreadable("too large");

  gchar* raw = nullptr;
  gsize length = 0;
  GError* rawError = nullptr;
  if (!g_file_get_contents(path_.c_str(), &raw, &length, &rawError)) {
    glib::Error error(rawError);
    return unreadable(error ? error->message : "cannot read");
  }
  glib::String text(raw);
  if (length > kMaxFileSize) return unreadable("too large");
  // The text parser stops at a NUL byte and expects UTF-8; check both first.
  if (!g_utf8_validate(text.get(), static_cast<gssize>(length), nullptr)) {
    return unreadable("not UTF-8 text");
  }
  const gchar* end = text.get() + length;
  glib::Variant parsed(
      g_variant_parse(G_VARIANT_TYPE_VARDICT, text.get(), end, nullptr, &rawError));
  if (!parsed) {
    glib::Error error(rawError);
    return unreadable(error ? error->message : "not a dictionary");
  }
  std::string why;
  auto dict = dictionaryFromVariant(parsed.get(), &why);
  if (!dict) return unreadable(why);
  *out = std::move(*dict);
  reportedUnreadable_ = false;
  return FileState::Readable;
}

bool FileUserDefaults::writeFile(const Dictionary& values) {
  glib::Variant variant(g_variant_ref_sink(toVariant(values)));
  glib::String text(g_variant_print(variant.get(), TRUE));
  std::string error;
  if (!DurableFile::replace(path_, std::string(text.get()) + "\n", &error)) {
    log::warning("cannot write user defaults " + path_ + ": " + error);
    return false;
  }
  return true;
}

}  // namespace nuv::linux_backend
