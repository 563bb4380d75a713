#include "platform/linux/process/LinuxBundle.h"

#include <sys/stat.h>

#include "platform/linux/process/InfoPlist.h"

namespace nuv::linux_backend {

LinuxBundle::LinuxBundle() : LinuxBundle(executableOf("self").value_or("")) {}

LinuxBundle::LinuxBundle(std::string executablePath)
    : executablePath_(std::move(executablePath)), bundlePath_(directoryOf(executablePath_)) {}

std::optional<std::string> LinuxBundle::bundleIdentifier() const {
  return readBundleIdentifier(bundlePath_);
}

std::optional<std::string> LinuxBundle::pathForResource(const std::string& name) const {
  if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
  std::string path = bundlePath_ + "/Resources/" + name;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return path;
}

}  // namespace nuv::linux_backend
