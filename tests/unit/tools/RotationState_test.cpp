#include "RotationState.h"
#include "BatteryHealthState.h"
#include "BatteryReadingState.h"
#include "TempDir.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

namespace nuv {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace fs = std::filesystem;

class RotationStateTest : public ::testing::Test {
 protected:
  std::string file() const { return dir + "/" + RotationState::kFileName; }
  void write(const std::string& text) {
    fs::create_directories(dir);
    std::ofstream(file(), std::ios::binary) << text;
  }
  static auto replaceWith(std::vector<std::string> next) {
    return [next](std::vector<std::string>) { return next; };
  }

  test::TempDir root;
  const std::string dir = root.path() + "/runtime/vemo.Tallyport.NUVModule";
};

TEST_F(RotationStateTest, PrivateFolderAndFileHoldingAnyUdid) {
  RotationState state(dir);
  EXPECT_THAT(state.load(), IsEmpty());   // nothing yet: no device reported
  const mode_t umaskBefore = ::umask(0);  // a lax umask must not widen anything
  ASSERT_TRUE(state.update(replaceWith({"a", "b"})));
  ::umask(umaskBefore);
  EXPECT_EQ(test::modeOf(dir), 0700u);
  EXPECT_EQ(test::modeOf(file()), 0600u);

  ASSERT_TRUE(state.update([](std::vector<std::string> now) {
    now.push_back("c");
    return now;
  }));
  EXPECT_THAT(state.load(), ElementsAre("a", "b", "c"));

  // A folder someone left open to others is closed again. Any UDID survives the file.
  ::chmod(dir.c_str(), 0755);
  const std::vector<std::string> udids = {
      "00008030-001A2B3C", "with\nnewline", "50% off",
      "tab\tand space ",   "Zoë",           std::string("nul\0in", 6)};
  ASSERT_TRUE(state.update(replaceWith(udids)));
  EXPECT_EQ(test::modeOf(dir), 0700u);
  EXPECT_EQ(state.load(), udids);
}

TEST_F(RotationStateTest, CorruptFilesMeanNoDeviceReportedYetOrNeverAsked) {
  const std::pair<const char*, std::string> cases[] = {
      {"empty", ""},
      {"foreign text", "hello\nworld\n"},
      {"another format version", "nuv-probe-rotation 2\na\n"},
      {"cut short", "nuv-probe-rotation 1\naa\nb"},
      {"an empty line", "nuv-probe-rotation 1\na\n\nb\n"},
      {"a bad escape", "nuv-probe-rotation 1\na%G0\n"},
      {"an escape cut short", "nuv-probe-rotation 1\na%4\n"},
      {"binary", std::string("nuv-probe-rotation 1\n\0\xff\n", 24)},
      {"too large", "nuv-probe-rotation 1\n" + std::string(70000, 'x') + "\n"},
      {"no device", "nuv-probe-rotation 1\n"},
  };
  for (const auto& [what, text] : cases) {
    write(text);
    EXPECT_THAT(RotationState(dir).load(), IsEmpty()) << what;
  }
  fs::remove(file());
  fs::create_directory(file());  // not even a file
  EXPECT_THAT(RotationState(dir).load(), IsEmpty());
  EXPECT_THAT(RotationState("").load(), IsEmpty());
  EXPECT_FALSE(RotationState("").update(replaceWith({"a"})));
  // The health file beside it (its round trip: ProbeReport's tests).
  for (const char* text : {"nuv-probe-health 2\na 1 2 3\n", "nuv-probe-health 1\na 1 2\n",
                           "nuv-probe-health 1\na -1 2 3\n", "nuv-probe-health 1\na  1 2x 3\n",
                           "nuv-probe-health 1\na 1 2 3"}) {
    std::ofstream(dir + "/" + BatteryHealthState::kFileName) << text;
    EXPECT_THAT(BatteryHealthState(dir).load(), IsEmpty()) << text;
  }
  // And the reading's; a key it does not know is skipped.
  for (const char* text : {"nuv-probe-reading 2\na 1\n", "nuv-probe-reading 1\na\n",
                           "nuv-probe-reading 1\na 1 t=x\n", "nuv-probe-reading 1\na 1 cl=2\n",
                           "nuv-probe-reading 1\na 1 cn=%G0\n", "nuv-probe-reading 1\na 1 t\n"}) {
    std::ofstream(dir + "/" + BatteryReadingState::kFileName) << text;
    EXPECT_THAT(BatteryReadingState(dir).load(), IsEmpty()) << text;
  }
  std::ofstream(dir + "/" + BatteryReadingState::kFileName)
      << "nuv-probe-reading 1\na 1 zz=9 t=-3\n";
  EXPECT_EQ(BatteryReadingState(dir).load().at("a").reading.temperature, -3);
}

// Concurrent probes: every change is a read-modify-write under the lock, so
// none that reports success is lost and the file stays whole. (A write may
// give up on a lock held too long; on a loaded machine some do.)
TEST_F(RotationStateTest, ConcurrentWritersLoseNothing) {
  constexpr int kThreads = 4, kEach = 25;
  std::atomic<std::size_t> landed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      RotationState state(dir);
      for (int i = 0; i < kEach; ++i) {
        landed += state.update([&](std::vector<std::string> now) {
          now.push_back(std::to_string(t) + "-" + std::to_string(i));
          return now;
        });
        EXPECT_NO_FATAL_FAILURE(state.load());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_GT(landed, 0u);
  EXPECT_EQ(RotationState(dir).load().size(), landed.load());
}

TEST_F(RotationStateTest, AHeldLockCostsTheWriteNotTheRun) {
  RotationState state(dir);
  ASSERT_TRUE(state.update(replaceWith({"a"})));
  const int holder = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(state.update(replaceWith({"b"})));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_THAT(state.load(), ElementsAre("a"));  // readers need no lock
  ::close(holder);
  EXPECT_TRUE(state.update(replaceWith({"b"})));
}

}  // namespace
}  // namespace nuv
