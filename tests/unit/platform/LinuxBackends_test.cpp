// The Linux backends that need no bus: child processes, /proc parsing and the
// bundle's Info.plist.

#include <gtest/gtest.h>
#include <unistd.h>

#include <glib.h>
#include <signal.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TempDir.h"
#include "platform/linux/process/InfoPlist.h"
#include "platform/linux/process/LinuxBundle.h"
#include "platform/linux/process/ProcWorkspace.h"
#include "platform/linux/process/SpawnProcessLauncher.h"
#include "platform/linux/runtime/GlibRunLoop.h"

namespace nuv::linux_backend {
namespace {

// Serves the main loop until `done` or `limit` passes.
bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < end) {
    g_main_context_iteration(nullptr, FALSE);
    usleep(1000);
  }
  return done();
}

// Draining, missing, hanging and crashing probes, a 10 MiB standard error
// and pipes a daemon holds (released, no descriptor lost) are covered end to
// end by tests/integration/spine_test.py.
class SpawnProcess : public ::testing::Test {
 protected:
  GlibRunLoop loop;
  SpawnProcessLauncher launcher{loop};
};

TEST_F(SpawnProcess, ChildGetsNoStrayDescriptorAndDefaultSignals) {
  // A descriptor some library left without close-on-exec, and the ignored
  // SIGPIPE GLib-based programs run with: neither may reach the probe.
  ASSERT_EQ(dup2(STDERR_FILENO, 200), 200);
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  auto p = launcher.makeProcess(
      "/bin/sh",
      {"-c", "test -e /proc/self/fd/200 && echo leaked; exec grep SigIgn /proc/self/status"});
  ASSERT_TRUE(p->launch(nullptr));
  p->waitUntilExit(Milliseconds(100));
  sigaction(SIGPIPE, &old, nullptr);
  close(200);
  const auto out = p->readOutputToEnd();
  ASSERT_EQ(out.rfind("SigIgn:\t", 0), 0u) << out;  // no "leaked" line first
  EXPECT_EQ(std::stoull(out.substr(8), nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u) << out;
}

TEST_F(SpawnProcess, AChildNobodyWaitsForIsStillReaped) {
  auto p = launcher.makeProcess("/bin/sleep", {"0.05"});
  ASSERT_TRUE(p->launch(nullptr));
  const std::string stat = "/proc/" + std::to_string(p->processIdentifier()) + "/stat";
  p.reset();
  EXPECT_TRUE(waitFor([&] { return access(stat.c_str(), F_OK) != 0; }, std::chrono::seconds(5)))
      << "left as a zombie";
}

// Live (not zombie) members of a process group.
int liveMembers(int pgid) {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    std::ifstream in(e.path() / "stat");
    std::string line;
    if (!std::isdigit(e.path().filename().string()[0]) || !std::getline(in, line)) continue;
    const auto f = statFieldsAfterName(line);
    n += f.size() >= 3 && f[2] == std::to_string(pgid) && f[0] != "Z";
  }
  return n;
}

// Shell probes that start a background and a foreground sleep; the second
// ignores SIGTERM, and so do its children.
TEST_F(SpawnProcess, SignalsReachTheChildsWholeGroup) {
  for (bool ignoresTerm : {false, true}) {
    SCOPED_TRACE(ignoresTerm);
    auto p = launcher.makeProcess(
        "/bin/sh",
        {"-c", std::string(ignoresTerm ? "trap '' TERM; " : "") + "sleep 30 & sleep 30"});
    ASSERT_TRUE(p->launch(nullptr));
    const int pgid = p->processIdentifier();
    ASSERT_TRUE(waitFor([&] { return liveMembers(pgid) == 3; }, std::chrono::seconds(5)));
    EXPECT_NE(getpgrp(), pgid);
    const auto began = std::chrono::steady_clock::now();
    if (ignoresTerm) {
      p->stopGroup(Milliseconds(200));
      // SIGKILL only once the grace is over, then the child is reaped.
      EXPECT_GE(std::chrono::steady_clock::now() - began, Milliseconds(200));
      EXPECT_FALSE(p->isRunning());
    } else {
      p->terminate();
      p->waitUntilExit(Milliseconds(100));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(3));
    EXPECT_TRUE(waitFor([&] { return !p->isGroupRunning(); }, std::chrono::seconds(2)));
    EXPECT_EQ(liveMembers(pgid), 0);
  }
}

// Standard error is a pipe of its own, of which the last bytes are kept; a
// child that closes it at once, or writes it after standard output, is read
// the same.
TEST_F(SpawnProcess, StandardErrorIsReadApartAndOnlyItsTailKept) {
  const std::string many(Process::kErrorTailBytes + 10, 'x');
  const struct {
    std::string script, tail;
    std::uint64_t dropped;
  } cases[] = {{"echo err >&2; echo out", "err\n", 0},
               {"exec 2>&-; echo out", "", 0},
               {"echo out; printf " + many + " >&2", many.substr(10), 10}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    auto p = launcher.makeProcess("/bin/sh", {"-c", c.script});
    ASSERT_TRUE(p->launch(nullptr));
    p->waitUntilExit(Milliseconds(100));
    EXPECT_EQ(p->readOutputToEnd(), "out\n");
    const auto errors = p->readErrorToEnd();
    EXPECT_EQ(errors.tail, c.tail);
    EXPECT_EQ(errors.dropped, c.dropped);
  }
}

// The start date comes from clock ticks since boot: never later than the
// real start, and at most a tick (and the clock reads) earlier.
TEST_F(SpawnProcess, StartDateOfAProcessJustStartedReadAfterTheLastParenthesis) {
  const std::string tail = " S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 987654 20 21";
  EXPECT_EQ(parseStartTime("42 (NUVModule)" + tail), 987654ull);
  EXPECT_EQ(parseStartTime("42 (a) (b) 1 2 3)" + tail), 987654ull);
  EXPECT_FALSE(parseStartTime("42 NUVModule S 1 2"));
  EXPECT_FALSE(parseStartTime("42 (x) S 1 2 3"));
  auto wallNow = [] {
    return Date{
        std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now())};
  };
  const Date before = wallNow();
  auto p = launcher.makeProcess("/bin/sleep", {"1"});
  ASSERT_TRUE(p->launch(nullptr));
  const auto started = processStartDate(p->processIdentifier());
  const Date after = wallNow();
  p->kill();
  ASSERT_TRUE(started);
  const auto tick = std::chrono::microseconds(1'000'000 / sysconf(_SC_CLK_TCK));
  EXPECT_GE(started->time, before.time - tick - std::chrono::milliseconds(5));
  EXPECT_LE(*started, after);
}

TEST(LinuxBundle, IdentifierAndResourcesFromTheBundleFolder) {
  test::TempDir tmp;
  const std::string bundle = tmp.path() + "/My \"App\".app";
  std::filesystem::create_directories(bundle + "/Resources");
  LinuxBundle b(bundle + "/NUVModule");
  EXPECT_FALSE(b.bundleIdentifier());  // no Info.plist
  // Broken or foreign plists have no identifier.
  auto plist = [&](const char* text) { std::ofstream(bundle + "/Resources/Info.plist") << text; };
  for (const char* text : {"<plist><dict><key>CFBundleIdentifier</key>",
                           "<plist><array><string>x</string></array></plist>",
                           "<plist><dict><key>CFBundleIdentifier</key><integer>5</integer>"
                           "</dict></plist>"}) {
    plist(text);
    EXPECT_FALSE(b.bundleIdentifier()) << text;
  }
  plist(
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
      "<string>vemo.Tallyport.NUVModule</string></dict></plist>");
  std::ofstream(bundle + "/Resources/devInfo.NUVModule") << "#!/bin/sh\n";
  EXPECT_EQ(b.bundlePath(), bundle);
  EXPECT_EQ(b.bundleIdentifier(), "vemo.Tallyport.NUVModule");
  EXPECT_EQ(b.pathForResource("devInfo.NUVModule"), bundle + "/Resources/devInfo.NUVModule");
  EXPECT_FALSE(b.pathForResource("missing"));
  EXPECT_FALSE(b.pathForResource("../Resources/devInfo.NUVModule"));
}

}  // namespace
}  // namespace nuv::linux_backend
