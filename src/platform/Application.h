#pragma once

namespace nuv {

// The application delegate's launch and termination callbacks.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void applicationWillFinishLaunching() {}
  virtual void applicationDidFinishLaunching() {}
  virtual void applicationWillTerminate() {}
};

// The application shell: delivers the launch callbacks, runs the main loop and
// terminates in an orderly way.
class Application {
 public:
  virtual ~Application() = default;
  // Delivers will- then did-finish-launching, then serves the main loop until
  // the process terminates. Returns the process exit status.
  virtual int run(ApplicationDelegate& delegate) = 0;
  // Calls applicationWillTerminate and ends the process with status 0. Does
  // not return (the fake records the request and returns). Main thread only.
  virtual void terminate() = 0;
};

}  // namespace nuv
