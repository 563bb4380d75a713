#include "platform/linux/process/SpawnDetachedLauncher.h"

#include <glib.h>
#include <unistd.h>

#include "platform/linux/GlibHandles.h"

namespace nuv::linux_backend {

bool SpawnDetachedLauncher::launchDetached(const std::string& path,
                                           const std::vector<std::string>& arguments,
                                           std::string* error) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // Runs in the child between fork and exec: async-signal-safe calls only.
  auto childSetup = [](gpointer) { setsid(); };
  GError* raw = nullptr;
  const gboolean ok = g_spawn_async(nullptr, argv.data(), nullptr, G_SPAWN_STDIN_FROM_DEV_NULL,
                                    childSetup, nullptr, nullptr, &raw);
  glib::Error err(raw);
  if (!ok && error) *error = err ? err->message : "cannot start " + path;
  return ok;
}

}  // namespace nuv::linux_backend
