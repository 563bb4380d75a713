#include "platform/linux/runtime/GlibApplication.h"

#include <glib-unix.h>
#include <glib.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "platform/Log.h"
#include "platform/RunLoop.h"

namespace nuv::linux_backend {

GlibApplication::GlibApplication(RunLoop& loop, std::function<void()> beforeExit)
    : loop_(loop), beforeExit_(std::move(beforeExit)) {}

GlibApplication::~GlibApplication() {
  if (sigint_) g_source_remove(sigint_);
  if (sigterm_) g_source_remove(sigterm_);
}

int GlibApplication::run(ApplicationDelegate& delegate) {
  delegate_ = &delegate;
  auto onSignal = [](gpointer self) -> gboolean {
    static_cast<GlibApplication*>(self)->terminate();
    return G_SOURCE_REMOVE;  // not reached: terminate() ends the process
  };
  sigint_ = g_unix_signal_add(SIGINT, onSignal, this);
  sigterm_ = g_unix_signal_add(SIGTERM, onSignal, this);
  delegate.applicationWillFinishLaunching();
  delegate.applicationDidFinishLaunching();
  loop_.run();
  return 0;
}

void GlibApplication::terminate() { terminateWithStatus(0); }

void GlibApplication::terminateWithStatus(int status) {
  if (delegate_) delegate_->applicationWillTerminate();
  if (beforeExit_) beforeExit_();
  std::fflush(nullptr);
  std::exit(status);
}

}  // namespace nuv::linux_backend
