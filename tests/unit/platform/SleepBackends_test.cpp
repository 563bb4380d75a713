// The Linux backends behind sleep and wake that need no bus: the user
// defaults file, the calendar, the systemd unit check and detached children.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "TempDir.h"
#include "platform/Log.h"
#include "platform/linux/process/SpawnDetachedLauncher.h"
#include "platform/linux/process/SystemdUnit.h"
#include "platform/linux/runtime/GlibCalendar.h"
#include "platform/linux/session/FileUserDefaults.h"

namespace nuv::linux_backend {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

void writeAll(const fs::path& p, const std::string& data) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << data;
}

class FileUserDefaultsTest : public ::testing::Test {
 protected:
  FileUserDefaultsTest() {
    log::setSink([this](log::Level, std::string_view line) { logLines.emplace_back(line); });
  }
  ~FileUserDefaultsTest() override { log::setSink(nullptr); }

  test::TempDir tmp;
  const fs::path root = tmp.path();
  const fs::path file = root / "vemo.Test" / "defaults.gvariant";
  std::vector<std::string> logLines;
};

const Date kStamp = Date::fromMicroseconds(1'780'000'123'456'789);

Dictionary sampleMap() {
  return Dictionary{
      {"abc", Dictionary{{"Bonjour", "abc"}, {"name", "it's \"mine\"\n"}, {"timestamp", kStamp}}}};
}

// Each process's synchronize keeps the keys another one wrote meanwhile.
TEST_F(FileUserDefaultsTest, ValuesWithDatesSurviveARoundTripInA0600TextFileBesideOtherWriters) {
  FileUserDefaults d(file.string());
  FileUserDefaults other(file.string());
  EXPECT_FALSE(d.objectForKey("current"));
  d.setValueForKey(sampleMap(), "current");
  EXPECT_FALSE(fs::exists(file));  // nothing reaches the disk before synchronize
  ASSERT_TRUE(d.synchronize());
  EXPECT_EQ(test::modeOf(file), 0600u);
  EXPECT_THAT(test::contentOf(file), HasSubstr("int64 1780000123456789"));
  other.setValueForKey("2", "b");
  ASSERT_TRUE(other.synchronize());
  EXPECT_EQ(other.objectForKey("current"), Value(sampleMap()));
  d.removeObjectForKey("current");
  ASSERT_TRUE(d.synchronize());
  EXPECT_EQ(d.objectForKey("b"), Value("2"));
  EXPECT_FALSE(FileUserDefaults(file.string()).objectForKey("current"));
  EXPECT_TRUE(logLines.empty());
}

// Whatever is in the file, reading it never crashes, never changes it, and
// says so in exactly one line; the next save keeps the bad file aside.
TEST_F(FileUserDefaultsTest, UnreadableFilesReadAsEmptyAndAreNeverDestroyed) {
  FileUserDefaults good(file.string());
  good.setValueForKey(sampleMap(), "current");
  ASSERT_TRUE(good.synchronize());
  const std::string valid = test::contentOf(file);
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"truncated", valid.substr(0, valid.size() / 2)},
      {"empty", ""},
      {"binary", std::string("\x00\xff\xfe{'a'", 7)},
      {"nul inside", std::string("{'a': <'x'>}\0garbage", 20)},
      {"invalid utf-8", "{'a': <'\xc3\x28'>}"},
      {"foreign type", "[1, 2, 3]"},
      {"foreign value", "{'a': <int32 5>}"},
      {"trailing garbage", "{'a': <'x'>} junk"},
      {"deep nesting", std::string(5000, '[') + std::string(5000, ']')},
  };
  for (const auto& [what, content] : cases) {
    SCOPED_TRACE(what);
    fs::remove(root / "vemo.Test" / "defaults.gvariant.unreadable");
    writeAll(file, content);
    logLines.clear();
    {
      FileUserDefaults d(file.string());
      EXPECT_FALSE(d.objectForKey("current"));
      EXPECT_TRUE(d.synchronize());  // nothing pending: nothing written
      EXPECT_EQ(logLines.size(), 1u);
      EXPECT_EQ(test::contentOf(file), content);

      d.setValueForKey("v", "k");
      ASSERT_TRUE(d.synchronize());
    }
    EXPECT_EQ(test::contentOf(root / "vemo.Test" / "defaults.gvariant.unreadable"), content);
    EXPECT_EQ(FileUserDefaults(file.string()).objectForKey("k"), Value("v"));
  }
}

TEST_F(FileUserDefaultsTest, ADirectoryInPlaceOfTheFileIsReportedNotFollowed) {
  fs::create_directories(file);
  FileUserDefaults d(file.string());
  EXPECT_FALSE(d.objectForKey("current"));
  EXPECT_EQ(logLines.size(), 1u);
  d.setValueForKey("v", "k");
  EXPECT_FALSE(d.synchronize());
  EXPECT_TRUE(fs::is_directory(file));
}

// A write that fails half-way (the file size limit stands in for a full disk)
// leaves the previous file whole, keeps the change pending, and a later
// synchronize writes it.
TEST_F(FileUserDefaultsTest, AFailedWriteKeepsThePreviousFileAndThePendingChange) {
  FileUserDefaults d(file.string());
  d.setValueForKey(sampleMap(), "current");
  ASSERT_TRUE(d.synchronize());
  const std::string before = test::contentOf(file);

  d.setValueForKey(std::string(1 << 20, 'x'), "big");
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = {64 * 1024, old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool ok = d.synchronize();
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, previousHandler);

  EXPECT_FALSE(ok);
  EXPECT_EQ(test::contentOf(file), before);
  EXPECT_FALSE(FileUserDefaults(file.string()).objectForKey("big"));
  EXPECT_TRUE(d.objectForKey("big"));
  ASSERT_TRUE(d.synchronize());
  EXPECT_TRUE(FileUserDefaults(file.string()).objectForKey("big"));
}

// A save cut short leaves "defaults.gvariant.XXXXXX" beside the file. Such
// files last changed before the cut-off go; the file, the copy kept of an
// unreadable one, look-alikes and anything newer stay.
TEST_F(FileUserDefaultsTest, LeftoverTemporaryFilesFromBeforeTheCutOffAreRemoved) {
  struct Entry {
    const char* name;
    char kind;          // a File, a Directory or a symbolic Link
    bool beforeCutOff;  // last changed 1 µs before it, or at it
    bool removed;
  };
  const Entry entries[] = {
      {"defaults.gvariant.AbC123", 'F', true, true},
      {"defaults.gvariant.Q1w2E3", 'F', false, false},
      {"defaults.gvariant", 'F', true, false},
      {"defaults.gvariant.unreadable", 'F', true, false},
      {"defaults.gvariant.AbC12", 'F', true, false},
      {"defaults.gvariant.Ab-123", 'F', true, false},
      {"defaults.gvariant.DirDir", 'D', true, false},
      {"defaults.gvariant.Link12", 'L', true, false},
  };
  const Date cutOff = Date::fromMicroseconds(1'780'000'000'000'000);
  const fs::path dir = file.parent_path();
  for (const Entry& e : entries) {
    const fs::path path = dir / e.name;
    if (e.kind == 'F') writeAll(path, "x");
    if (e.kind == 'D') fs::create_directories(path);
    if (e.kind == 'L') fs::create_symlink("/etc/hostname", path);
    const std::int64_t us = cutOff.microseconds() - e.beforeCutOff;
    const timespec changed = {us / 1'000'000, us % 1'000'000 * 1000};
    const timespec times[2] = {changed, changed};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << e.name;
  }
  FileUserDefaults d(file.string());
  EXPECT_EQ(d.removeLeftoverTemporaryFiles(cutOff), 1u);
  for (const Entry& e : entries) {
    EXPECT_EQ(fs::exists(fs::symlink_status(dir / e.name)), !e.removed) << e.name;
  }
}

TEST_F(FileUserDefaultsTest, TheBundleIdentifierMustBeOnePathComponent) {
  const auto path = FileUserDefaults::pathForBundleIdentifier("vemo.Tallyport.NUVModule");
  ASSERT_TRUE(path);
  EXPECT_TRUE(path->ends_with("/vemo.Tallyport.NUVModule/defaults.gvariant")) << *path;
  for (const char* bad : {"", ".", "..", "../evil", "a/b", "/abs"}) {
    EXPECT_FALSE(FileUserDefaults::pathForBundleIdentifier(bad)) << bad;
  }
  auto memoryOnly = FileUserDefaults::forBundleIdentifier(std::string("../x"));
  EXPECT_TRUE(memoryOnly->path().empty());
  EXPECT_EQ(logLines.size(), 1u);
  memoryOnly->setValueForKey("v", "k");
  EXPECT_TRUE(memoryOnly->synchronize());
  EXPECT_EQ(memoryOnly->objectForKey("k"), Value("v"));
}

// Which day is yesterday follows from these days: SleepWake_test's day rule.
TEST(GlibCalendar, DaysFollowTheZonesMidnightAcrossDaylightSaving) {
  using namespace std::chrono;
  const struct {
    const char* zone;
    sys_time<minutes> utc;
    year_month_day day;
  } cases[] = {
      // UTC+13 in March, +12 once daylight saving ends on 5 April 2026.
      {"Pacific/Auckland", sys_days(2026y / March / 10) + 10h + 59min, 2026y / March / 10},
      {"Pacific/Auckland", sys_days(2026y / March / 10) + 11h, 2026y / March / 11},
      {"Pacific/Auckland", sys_days(2026y / April / 6) + 11h + 30min, 2026y / April / 6},
      {"Pacific/Auckland", sys_days(2026y / April / 6) + 12h, 2026y / April / 7},
      {"America/New_York", sys_days(2026y / January / 2) + 4h + 59min, 2026y / January / 1},
      {"America/New_York", sys_days(1969y / December / 31) + 23h, 1969y / December / 31},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GlibCalendar(c.zone).dayOf(Date{c.utc}), sys_days(c.day))
        << c.zone << " " << c.utc.time_since_epoch().count();
  }
}

TEST(SystemdUnit, TheVariableCountsOnlyInsideThatUnitsControlGroup) {
  const char* kUnit = "nuvmodule.service";
  struct Case {
    const char* variable;
    const char* cgroup;
    const char* unit;
  };
  const Case cases[] = {
      {kUnit, "0::/user.slice/user-1000.slice/user@1000.service/app.slice/nuvmodule.service\n",
       kUnit},
      // Inherited by something started elsewhere (a terminal, another service).
      {kUnit, "0::/user.slice/user@1000.service/app.slice/app-gnome-terminal-1234.scope\n", ""},
      {nullptr, "0::/nuvmodule.service\n", ""},
      {"", "0::/nuvmodule.service\n", ""},
      {kUnit, "0::/\n", ""},
      {kUnit, "1:name=systemd:/nuvmodule.service\n", ""},
      // Names that are not unit names never reach the shell command.
      {"x'; rm -rf ~; '.service", "0::/x'; rm -rf ~; '.service\n", ""},
      {"nuv@a\\x2db.service", "0::/app.slice/nuv@a\\x2db.service\n", "nuv@a\\x2db.service"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(supervisingUnitFrom(c.variable, c.cgroup), c.unit) << c.cgroup;
}

// The child runs in a session of its own, is not our child, and holds none of
// our descriptors (here one opened without close-on-exec).
TEST(SpawnDetachedLauncher, ChildIsDetachedAndInheritsNoDescriptors) {
  test::TempDir tmp;
  const fs::path dir = tmp.path();
  const fs::path held = dir / "held-by-parent";
  writeAll(held, "x");
  const int leaked = open(held.c_str(), O_RDONLY);  // deliberately not O_CLOEXEC
  ASSERT_GE(leaked, 3);
  const std::string d = dir.string();
  const std::string script = "echo $$ $(cut -d' ' -f4,6 /proc/$$/stat) > '" + d +
                             "/ids'; ls -l /proc/$$/fd/ > '" + d + "/fds'; touch '" + d + "/done'";
  SpawnDetachedLauncher launcher;
  std::string error;
  ASSERT_TRUE(launcher.launchDetached("/bin/sh", {"-c", script}, &error)) << error;
  close(leaked);
  for (int i = 0; i < 500 && !fs::exists(dir / "done"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(fs::exists(dir / "done"));
  long pid = 0, ppid = 0, session = 0;
  std::istringstream(test::contentOf(dir / "ids")) >> pid >> ppid >> session;
  EXPECT_GT(pid, 0);
  EXPECT_EQ(session, pid);  // a session leader
  EXPECT_NE(ppid, static_cast<long>(getpid()));
  EXPECT_THAT(test::contentOf(dir / "fds"), ::testing::Not(HasSubstr("held-by-parent")));

  EXPECT_FALSE(launcher.launchDetached("/nonexistent/sh", {}, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace nuv::linux_backend
