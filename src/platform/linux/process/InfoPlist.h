#pragma once

#include <optional>
#include <string>

namespace nuv::linux_backend {

// CFBundleIdentifier of the bundle at `bundlePath` (its Resources/Info.plist,
// XML or binary). Absent when the file is missing, unreadable or has none.
std::optional<std::string> readBundleIdentifier(const std::string& bundlePath);

// The executable behind /proc/<pid>/exe ("self" for this process), without the
// " (deleted)" the kernel appends once the file was replaced.
std::optional<std::string> executableOf(const std::string& pid);

std::string directoryOf(const std::string& path);

}  // namespace nuv::linux_backend
