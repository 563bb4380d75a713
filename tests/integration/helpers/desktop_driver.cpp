// Drives the desktop utilities against the real desktop for the integration
// tests. Each command prints "key=value" lines on standard output.
//
//   desktop_driver trust            follows the trust state; reads commands
//                                   ("recache", "open-panel") from standard
//                                   input until it closes
//   desktop_driver window PID TITLE X Y W H
//                                   finds PID's window TITLE, moves it to
//                                   (X, Y), resizes it to W x H, focuses it,
//                                   then wraps the focused window
//   desktop_driver focused          wraps the focused application and window
//   desktop_driver under X Y ...    the window under each screen point
//   desktop_driver color X Y WINDOW the contrasting colour below WINDOW
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "desktop/AccessibilityWrapper.h"
#include "desktop/OrbAccessibility.h"
#include "desktop/Pixelwatcher.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/ProcessServices.h"
#include "platform/fake/FakeApplication.h"
#include "platform/linux/runtime/GlibRunLoop.h"

namespace {

using nuv::AccessibilityWrapper;
using nuv::ElementRef;

void say(const std::string& line) {
  std::cout << line << std::endl;  // flushed: the test reads line by line
}

std::string hex(const std::optional<nuv::Color>& color) {
  if (!color) return "absent";
  return nuv::Pixelwatcher::hexStringForColor(*color).value_or("nil");
}

// Polls `done` for up to three seconds: the window system applies changes
// asynchronously.
template <class F>
bool eventually(F done) {
  for (int i = 0; i < 60; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

ElementRef findWindow(int pid, const std::string& title) {
  ElementRef found;
  eventually([&] {
    auto windows = AccessibilityWrapper::windowsInRunningApp(
        nuv::fake::FakeRunningApplication(pid, std::nullopt, nullptr));
    for (const auto& w : windows.value_or(nuv::ElementArray{})) {
      if (AccessibilityWrapper::getTitle(w) == title) found = w;
    }
    return found != nullptr;
  });
  return found;
}

void focused() {
  AccessibilityWrapper wrapper;
  say("inited=" + std::to_string(wrapper.inited()));
  say("focusedTitle=" + wrapper.getTitle());
  say("focusedPid=" + std::to_string(wrapper.processIdentifier()));
}

int trust(nuv::linux_backend::GlibRunLoop& loop) {
  nuv::LocalNotificationCenter local;
  nuv::processServices().localCenter = &local;
  nuv::processServices().mainLoop = &loop;
  auto orb = nuv::OrbAccessibility::singleton();
  auto note = local.addObserver(nuv::OrbAccessibility::kCacheNotification,
                                [&loop, orb](const nuv::Notification&) {
                                  say("AXxache before=" + std::to_string(orb->isEnabled()));
                                  loop.post([orb] {
                                    say("state enabled=" + std::to_string(orb->isEnabled()) +
                                        " observing=" + std::to_string(orb->isObserving()));
                                  });
                                });
  nuv::OrbAccessibility::setup();
  bool done = false;
  // Commands arrive on a reader thread and are handed to the loop.
  std::thread reader([&loop, &done, orb] {
    std::string line;
    while (std::getline(std::cin, line)) {
      loop.post([line, orb] {
        if (line == "recache") orb->recache();
        if (line == "open-panel") nuv::OrbAccessibility::openPanel();
      });
    }
    loop.post([&done] { done = true; });
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  loop.runUntil([&] { return done || std::chrono::steady_clock::now() > deadline; });
  reader.detach();  // blocked on standard input only when the deadline passed
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  nuv::linux_backend::GlibRunLoop loop;
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "trust") return trust(loop);

  if (command == "window" && argc == 8) {
    int pid = std::atoi(argv[2]);
    ElementRef window = findWindow(pid, argv[3]);
    say(std::string("found=") + (window ? "1" : "0"));
    if (!window) return 1;
    AccessibilityWrapper wrapper(AccessibilityWrapper::applicationForElement(window), window);
    say("pid=" + std::to_string(wrapper.processIdentifier()));
    say("role=" + AccessibilityWrapper::getRole(window).value_or("nil"));
    say("minimizedOrHidden=" + std::to_string(wrapper.isMinimizedOrHidden()));
    nuv::Point target{std::atof(argv[4]), std::atof(argv[5])};
    nuv::Size size{std::atof(argv[6]), std::atof(argv[7])};
    say("moved=" + std::to_string(wrapper.moveWindow(target)));
    eventually([&] { return wrapper.getCurrentTopLeft() == target; });
    say("resized=" + std::to_string(wrapper.resizeWindow(size)));
    eventually([&] { return wrapper.getCurrentSize() == size; });
    auto p = wrapper.getCurrentTopLeft();
    auto s = wrapper.getCurrentSize();
    say("topLeft=" + std::to_string(int(p.x)) + "," + std::to_string(int(p.y)));
    say("size=" + std::to_string(int(s.width)) + "x" + std::to_string(int(s.height)));
    say("movable=" + std::to_string(wrapper.isMovable()));
    say("focus=" + std::to_string(wrapper.focus()));
    say("main=" +
        std::to_string(eventually([&] { return AccessibilityWrapper::isMainWindow(window); })));
    focused();
    return 0;
  }
  if (command == "focused") {
    focused();
    return 0;
  }
  if (command == "under") {
    for (int i = 2; i + 1 < argc; i += 2) {
      ElementRef w =
          AccessibilityWrapper::windowUnderPoint({std::atof(argv[i]), std::atof(argv[i + 1])});
      say(std::string(argv[i]) + "," + argv[i + 1] + "=" +
          (w ? AccessibilityWrapper::getTitle(w) : "(none)"));
    }
    return 0;
  }
  if (command == "color" && argc == 5) {
    auto& watcher = nuv::Pixelwatcher::sharedWatcher();
    int x = std::atoi(argv[2]), y = std::atoi(argv[3]);
    auto window = static_cast<std::int32_t>(std::strtoll(argv[4], nullptr, 10));
    say("sample=" + hex(watcher.colorUnderWindowAtPoint({double(x), double(y)}, window)));
    say("color=" + hex(watcher.getColor(x, y, window)));
    return 0;
  }
  std::cerr << "usage: desktop_driver trust|window|focused|under|color ...\n";
  return 2;
}
