#include "platform/linux/process/SystemdUnit.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace nuv::linux_backend {
namespace {

bool validUnitName(const std::string& name) {
  if (name.empty() || name.size() > 255) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == ':' || c == '-' || c == '_' || c == '.' || c == '@' || c == '\\';
    if (!ok) return false;
  }
  return name.size() > 8 && name.ends_with(".service");
}

}  // namespace

std::string supervisingUnitFrom(const char* unitVariable, const std::string& procSelfCgroup) {
  if (!unitVariable) return {};
  const std::string unit = unitVariable;
  if (!validUnitName(unit)) return {};
  // The unified hierarchy's line is "0::<path>"; the unit is its last part.
  std::istringstream lines(procSelfCgroup);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.starts_with("0::")) continue;
    const std::string path = line.substr(3);
    const auto slash = path.rfind('/');
    const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    return leaf == unit ? unit : std::string();
  }
  return {};
}

std::string supervisingUnit() {
  const char* unit = std::getenv(kSystemdUnitVariable);
  if (!unit) return {};
  std::ifstream file("/proc/self/cgroup");
  std::stringstream text;
  text << file.rdbuf();
  return supervisingUnitFrom(unit, text.str());
}

}  // namespace nuv::linux_backend
