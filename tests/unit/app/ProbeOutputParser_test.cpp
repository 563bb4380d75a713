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

TEST(Utf8, Boundaries) {
  EXPECT_TRUE(isValidUtf8("\x7f"));
  EXPECT_TRUE(isValidUtf8("\xf4\x8f\xbf\xbf"));   // U+10FFFF
  EXPECT_FALSE(isValidUtf8("\xf4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(isValidUtf8("\x80"));
  EXPECT_FALSE(isValidUtf8("\xf8\x88\x80\x80\x80"));
}

}  // namespace
}  // namespace nuv
