#pragma once

#include <functional>
#include <string>
#include <vector>

namespace nuv {

// The probe's memory between runs: the UDIDs in the order of their last
// report, oldest first (see ProbeRotation), in the file `rotation` of a
// private folder (0700, file 0600).
//
// Several probes may run at once (a USB-started run beside a timer run, a
// user running the probe by hand). Every change is a read-modify-write under
// an exclusive lock on the folder, and the file is replaced whole
// (DurableFile), so a reader sees the old state or the new, never a part. A
// missing, unreadable or corrupt file reads as "no device reported yet".
class RotationState {
 public:
  static constexpr const char* kFileName = "rotation";

  // `directory` is created (0700, with its parents) if missing. "" keeps no
  // state: load() is empty and update() writes nothing.
  explicit RotationState(std::string directory);

  // ${XDG_RUNTIME_DIR}/vemo.Tallyport.NUVModule; without XDG_RUNTIME_DIR,
  // the user's cache folder stands in, as for every GLib program.
  static std::string defaultDirectory();

  const std::string& directory() const { return directory_; }

  std::vector<std::string> load() const;

  // Replaces the state with change(current state) under the lock. False when
  // nothing was written: no folder, a folder that is not this user's, the
  // lock not free within half a second, or a failed write (the previous state
  // is then untouched).
  bool update(const std::function<std::vector<std::string>(std::vector<std::string>)>& change);

 private:
  std::string directory_;
};

}  // namespace nuv
