#include "Autostart.h"

#include <glib.h>
#include <glib/gstdio.h>

#include "platform/Log.h"
#include "platform/linux/GlibHandles.h"
#include "platform/linux/process/XdgDirs.h"
#include "platform/linux/runtime/DurableFile.h"

namespace nuvdevices {
namespace {

using nuv::linux_backend::xdgBaseDirectory;

// A path as one quoted argument of a desktop entry's Exec: `"`, backquote,
// `$` and `\` escaped inside the quotes, then `\` escaped again for the
// string value, and `%` doubled (it starts a field code).
std::string execArgument(const std::string& path) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += "\\\\";
    if (c == '%') quoted += '%';
    quoted += c == '\\' ? std::string("\\\\") : std::string(1, c);
  }
  return quoted + "\"";
}

std::string selfPath() {
  nuv::glib::String exe(g_file_read_link("/proc/self/exe", nullptr));
  return exe ? exe.get() : "nuv-devices";
}

void write(const std::string& path, const std::string& content) {
  if (nuv::linux_backend::DurableFile::read(path) == content) return;
  std::string error;
  if (!nuv::linux_backend::DurableFile::replace(path, content, &error)) {
    nuv::log::warning("cannot write the autostart entry: " + error);
  }
}

}  // namespace

std::string Autostart::entry(const std::string& executable, bool hidden) {
  std::string text =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=NUVModule Devices\n"
      "Comment=Watches the battery of your iPhone, iPad or iPod in the background\n"
      "Exec=" +
      execArgument(executable) +
      " --background\n"
      "Icon=vemo.Tallyport.NUVDevices\n"
      "Terminal=false\n"
      "NoDisplay=true\n";
  text += hidden ? "Hidden=true\nX-GNOME-Autostart-enabled=false\n"
                 : "X-GNOME-Autostart-enabled=true\n";
  return text;
}

std::string Autostart::userPath() {
  return xdgBaseDirectory("XDG_CONFIG_HOME", ".config") + "/autostart/" + kFileName;
}

bool Autostart::systemEntryExists() {
  for (const gchar* const* dir = g_get_system_config_dirs(); *dir; ++dir) {
    const std::string path = std::string(*dir) + "/autostart/" + kFileName;
    if (g_file_test(path.c_str(), G_FILE_TEST_EXISTS)) return true;
  }
  return false;
}

void Autostart::apply(bool enabled) {
  const std::string path = userPath();
  if (!enabled) {
    write(path, entry(selfPath(), true));
    return;
  }
  const bool hiddenOverride =
      nuv::linux_backend::DurableFile::read(path).find("\nHidden=true") != std::string::npos;
  if (systemEntryExists()) {
    if (hiddenOverride && g_remove(path.c_str()) != 0) {
      nuv::log::warning("cannot remove " + path);
    }
  } else if (hiddenOverride || !g_file_test(path.c_str(), G_FILE_TEST_EXISTS)) {
    write(path, entry(selfPath(), false));
  }
}

void Autostart::offerOnce(bool enabled) {
  const std::string marker =
      xdgBaseDirectory("XDG_STATE_HOME", ".local/state") + "/nuv-devices/autostart-offered";
  if (g_file_test(marker.c_str(), G_FILE_TEST_EXISTS)) return;
  if (enabled && !systemEntryExists() && !g_file_test(userPath().c_str(), G_FILE_TEST_EXISTS)) {
    write(userPath(), entry(selfPath(), false));
  }
  nuv::linux_backend::DurableFile::replace(marker, "");
}

}  // namespace nuvdevices
