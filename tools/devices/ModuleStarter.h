#pragma once

#include <functional>
#include <string>

#include "platform/linux/GlibHandles.h"

namespace nuvdevices {

// Starts the module the way it is installed: `systemctl --user start
// nuvmodule.service`, run without blocking the loop. systemctl is looked up
// in PATH.
//
// Loop thread only. `done` runs once per start, on the loop, with systemctl's
// own message when it failed; never after destruction.
class ModuleStarter {
 public:
  using Done = std::function<void(bool ok, const std::string& message)>;

  ModuleStarter() = default;
  ~ModuleStarter();
  ModuleStarter(const ModuleStarter&) = delete;
  ModuleStarter& operator=(const ModuleStarter&) = delete;

  // Ignored while a start is still running.
  void start(Done done);
  bool busy() const { return static_cast<bool>(cancellable_); }

  static constexpr const char* kUnit = "nuvmodule.service";

 private:
  static void onFinished(GObject* process, GAsyncResult* result, void* self);

  Done done_;
  nuv::glib::Object<GCancellable> cancellable_;
};

}  // namespace nuvdevices
