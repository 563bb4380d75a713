#pragma once

#include <functional>

#include "platform/Application.h"

namespace nuv {
class RunLoop;
}

namespace nuv::linux_backend {

// The application shell on the GLib main loop. SIGINT and SIGTERM are served
// as ordinary loop callbacks (g_unix_signal_add) and terminate the application
// in an orderly way; nothing runs in signal context.
class GlibApplication : public Application {
 public:
  // `beforeExit` runs last, after applicationWillTerminate (flushes the bus).
  GlibApplication(RunLoop& loop, std::function<void()> beforeExit);
  ~GlibApplication() override;

  int run(ApplicationDelegate& delegate) override;
  [[noreturn]] void terminate() override;
  // The same orderly end (applicationWillTerminate, then `beforeExit`) with
  // another exit status, for a module that cannot go on.
  [[noreturn]] void terminateWithStatus(int status);

 private:
  RunLoop& loop_;
  std::function<void()> beforeExit_;
  ApplicationDelegate* delegate_ = nullptr;
  unsigned sigint_ = 0;
  unsigned sigterm_ = 0;
};

}  // namespace nuv::linux_backend
