#include "app/ProbeErrorLog.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "platform/Log.h"

namespace nuv {
namespace {

// Run after run of one probe: what each run wrote, and what the log gets
// (nothing when no level is given; by default the text's first line).
TEST(ProbeErrorLog, ATextWarnsOnceUntilARunWithoutItOrAnother) {
  struct Run {
    ErrorOutput errors;
    std::optional<log::Level> level;
    std::string expected = {};
  };
  const std::string muxd = "devInfo.NUVModule: usbmuxd is not running\n";
  const std::vector<Run> runs = {
      {{muxd}, log::Level::Warning},
      {{muxd}, log::Level::Debug},
      {{""}, std::nullopt},
      {{muxd}, log::Level::Warning},
      // Another text, then the first again: each is a change.
      {{"other\n"}, log::Level::Warning},
      {{muxd}, log::Level::Warning},
      // Line breaks alone are no text.
      {{"\n\r\n"}, std::nullopt},
      // Only the digits differ (pid, time): the same text.
      {{"(probe:812): 12:00:01.5: failed 3 times\n"}, log::Level::Warning},
      {{"(probe:9001): 12:00:06.75: failed 14 times\n"}, log::Level::Debug},
      {{"(probe:9002): 12:00:11.75: failed\n"}, log::Level::Warning},
      // A cut tail begins with its first whole line; a single line is kept whole.
      {{"ial line\nlast line\n", 100},
       log::Level::Warning,
       "probe tool stderr (its last 10 of 119 bytes): last line"},
      {{"xxxxxxxx", 4000},
       log::Level::Warning,
       "probe tool stderr (its last 8 of 4008 bytes): xxxxxxxx"},
  };
  std::vector<std::pair<log::Level, std::string>> logged;
  log::setSink([&](log::Level level, std::string_view line) { logged.emplace_back(level, line); });
  ProbeErrorLog probeErrors;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(i);
    logged.clear();
    probeErrors.runEnded(runs[i].errors);
    if (!runs[i].level) {
      EXPECT_TRUE(logged.empty());
      continue;
    }
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].first, *runs[i].level);
    const std::string& text = runs[i].errors.tail;
    EXPECT_EQ(logged[0].second, runs[i].expected.empty()
                                    ? "probe tool stderr: " + text.substr(0, text.find('\n'))
                                    : runs[i].expected);
  }
  log::setSink({});
}

TEST(ProbeErrorLog, PrintableIsOneLineOfValidText) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"two\nlines\r\n\n", "two\\nlines"},
      {"tab\tstays", "tab\tstays"},
      {"\x1b[31mred\x7f", "\\x1B[31mred\\x7F"},
      {"Zo\xC3\xAB \xE2\x82\xAC \xF0\x9F\x93\xB1", "Zo\xC3\xAB \xE2\x82\xAC \xF0\x9F\x93\xB1"},
      {"cut \xE2\x82", "cut \\xE2\\x82"},  // not UTF-8: each byte escaped
  };
  for (const auto& [bytes, expected] : cases) {
    EXPECT_EQ(ProbeErrorLog::printable(bytes), expected) << bytes;
  }
}

}  // namespace
}  // namespace nuv
