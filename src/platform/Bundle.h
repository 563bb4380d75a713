#pragma once

#include <optional>
#include <string>

namespace nuv {

// The application bundle this process runs from:
//   <bundle>/NUVModule, <bundle>/Resources/Info.plist, <bundle>/Resources/<resources>
class Bundle {
 public:
  virtual ~Bundle() = default;
  virtual std::string bundlePath() const = 0;
  virtual std::string executablePath() const = 0;
  // CFBundleIdentifier from Info.plist; absent when it cannot be read.
  virtual std::optional<std::string> bundleIdentifier() const = 0;
  // Full path of the named resource (no type), or absent when it is missing.
  virtual std::optional<std::string> pathForResource(const std::string& name) const = 0;
};

}  // namespace nuv
