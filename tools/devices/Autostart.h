#pragma once

#include <string>

namespace nuvdevices {

// The login autostart entry of the background app (`nuv-devices
// --background`), kept in step with the "start-at-login" setting the XDG way.
// A package installs the entry for every user in $XDG_CONFIG_DIRS/autostart
// (/etc/xdg/autostart); a user entry of the same name in
// $XDG_CONFIG_HOME/autostart overrides it, and one that says Hidden=true turns
// it off for that user without root and without touching the package's file.
//   off: the user entry says Hidden=true;
//   on:  a Hidden=true user entry is removed when an entry for every user
//        exists; without one (an install to ~/.local) the user entry runs
//        this program with --background.
// The first start with the setting on writes that user entry when no entry
// exists anywhere, once (remembered in $XDG_STATE_HOME/nuv-devices): a user
// who then removes the entry has turned it off.
//
// Blocking file calls on small files in the user's own folders; loop thread.
class Autostart {
 public:
  static constexpr const char* kFileName = "vemo.Tallyport.NUVDevices.desktop";

  // Applies the setting; logs a failure once per call.
  static void apply(bool enabled);
  // At start-up: the once-only user entry described above.
  static void offerOnce(bool enabled);

  // The user entry that runs `executable` with --background (or hides the entry).
  static std::string entry(const std::string& executable, bool hidden);

 private:
  static std::string userPath();
  static bool systemEntryExists();
};

}  // namespace nuvdevices
