#pragma once

#include <functional>
#include <memory>

#include <nuvdesktop/Export.h>

namespace nuvdesktop {

// Whether this process is trusted to use the desktop's accessibility service
// (AT-SPI: the accessibility bus's IsEnabled), asking the user for it, and
// following the desktop until it is granted.
//
// Threading: create, use and destroy an instance on the thread that runs
// GLib's default main context (a GTK or GLib host's main loop); `onChange`
// is called there, 150 ms after the desktop announced a change.
class NUVDESKTOP_EXPORT OrbAccessibility {
 public:
  // Reads the trust state now and, while the process is not trusted, follows
  // the desktop's announcements; `onChange` (may be empty) gets every state
  // read after an announcement or a recache(). Following ends once trusted.
  explicit OrbAccessibility(std::function<void(bool enabled)> onChange = {});
  ~OrbAccessibility();
  OrbAccessibility(const OrbAccessibility&) = delete;
  OrbAccessibility& operator=(const OrbAccessibility&) = delete;

  // The state as last read.
  bool isEnabled() const;
  // True while the desktop's announcements are followed.
  bool isObserving() const;
  // Reads the state again now.
  void recache();

  // The live state; never asks the user.
  static bool isProcessTrusted();
  // Asks the user to grant trust: the desktop's own request when it has one,
  // else its accessibility settings. The answer is not awaited.
  static void openPanel();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nuvdesktop
