#include "app/ProbeOutputParser.h"

#include <gtest/gtest.h>

#include <vector>

namespace nuv {
namespace {

TEST(ProbeOutputParser, LinesBecomePairs) {
  const std::vector<std::pair<std::string, ProbeOutput>> cases = {
      {"Bonjour\tabc\nname\tMy Phone\n", {{"Bonjour", "abc"}, {"name", "My Phone"}}},
      // Two TABs: ignored. Trailing TAB: empty value. Leading TAB: empty key.
      // No TAB, empty lines: ignored. The last line needs no LF.
      {"a\tb\tc\nk\t\n\tv\nplain\n\n\nlast\tline", {{"k", ""}, {"", "v"}, {"last", "line"}}},
      {"Battery\t85\r\n name \t x \n", {{"Battery", "85\r"}, {" name ", " x "}}},  // no trimming
      {"Battery\t10\nBattery\t20\n", {{"Battery", "20"}}},  // the later duplicate wins
      {"name\tJosé’s 📱\n", {{"name", "José’s 📱"}}},
      // Empty output, or invalid UTF-8 anywhere: nothing.
      {"", {}},
      {"\n\n", {}},
      {"Bonjour\tabc\nname\t\xff\n", {}},
      {"Bonjour\t\xc0\xaf\n", {}},      // overlong '/'
      {"Bonjour\t\xed\xa0\x80\n", {}},  // surrogate
      {"Bonjour\t\xe2\x82", {}},        // truncated
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(parseProbeOutput(text), expected);
  }
}

// The one strict UTF-8 check behind the parser, the error log and the probe's report.
TEST(Utf8, Boundaries) {
  const std::pair<std::string, std::size_t> cases[] = {{"\x7f", 1},
                                                       {"\xC3\xAB", 2},
                                                       {"\xF4\x8F\xBF\xBF", 4},  // U+10FFFF
                                                       {"", 0},
                                                       {"\x80", 0},
                                                       {"\xF4\x90\x80\x80", 0},  // above U+10FFFF
                                                       {"\xC0\xAF", 0},
                                                       {"\xE0\x80\xAF", 0},
                                                       {"\xF0\x80\x80\xAF", 0},  // overlong
                                                       {"\xED\xA0\x80", 0},
                                                       {"\xE2\x82", 0},
                                                       {"\xF8\x88\x80\x80\x80", 0}};
  for (const auto& [bytes, length] : cases) {
    EXPECT_EQ(utf8SequenceLength(bytes), length) << testing::PrintToString(bytes);
    EXPECT_EQ(isValidUtf8(bytes), length == bytes.size()) << testing::PrintToString(bytes);
  }
}

}  // namespace
}  // namespace nuv
