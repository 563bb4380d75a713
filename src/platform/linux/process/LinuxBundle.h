#pragma once

#include "platform/Bundle.h"

namespace nuv::linux_backend {

// The bundle of the running executable: the folder that holds it.
class LinuxBundle : public Bundle {
 public:
  // Uses /proc/self/exe.
  LinuxBundle();
  explicit LinuxBundle(std::string executablePath);

  std::string bundlePath() const override { return bundlePath_; }
  std::string executablePath() const override { return executablePath_; }
  std::optional<std::string> bundleIdentifier() const override;
  std::optional<std::string> pathForResource(const std::string& name) const override;

 private:
  std::string executablePath_;
  std::string bundlePath_;
};

}  // namespace nuv::linux_backend
