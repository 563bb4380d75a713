#include "platform/linux/process/InfoPlist.h"

#include <plist/plist.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace nuv::linux_backend {
namespace {
struct PlistFree {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;
constexpr std::size_t kMaxPlistBytes = 1 << 20;
}  // namespace

std::optional<std::string> readBundleIdentifier(const std::string& bundlePath) {
  std::ifstream in(bundlePath + "/Resources/Info.plist", std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<char> bytes;
  bytes.reserve(4096);
  char buf[4096];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    bytes.insert(bytes.end(), buf, buf + in.gcount());
    if (bytes.size() > kMaxPlistBytes) return std::nullopt;
  }
  if (bytes.empty()) return std::nullopt;
  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
  PlistPtr root(raw);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
  plist_t node = plist_dict_get_item(root.get(), "CFBundleIdentifier");
  if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  char* value = nullptr;
  plist_get_string_val(node, &value);
  if (!value) return std::nullopt;
  std::string out(value);
  free(value);
  return out;
}

std::optional<std::string> executableOf(const std::string& pid) {
  std::string link = "/proc/" + pid + "/exe";
  std::vector<char> buf(4096);
  const ssize_t n = readlink(link.c_str(), buf.data(), buf.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buf.size()) return std::nullopt;
  std::string path(buf.data(), static_cast<std::size_t>(n));
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() && path.ends_with(kDeleted)) {
    path.resize(path.size() - kDeleted.size());
  }
  return path;
}

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace nuv::linux_backend
