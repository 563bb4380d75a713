#include "app/ProbeOutputParser.h"

#include <gtest/gtest.h>

namespace nuv {
namespace {

TEST(ProbeOutputParser, TwoLinesGiveExactlyTheirPairs) {
  EXPECT_EQ(parseProbeOutput("Bonjour\tabc\nname\tMy Phone\n"),
            (ProbeOutput{{"Bonjour", "abc"}, {"name", "My Phone"}}));
}

TEST(ProbeOutputParser, FieldCountRules) {
  // Two TABs: ignored. Trailing TAB: empty value. Leading TAB: empty key.
  // No TAB, empty lines: ignored. The last line needs no LF.
  EXPECT_EQ(parseProbeOutput("a\tb\tc\nk\t\n\tv\nplain\n\n\nlast\tline"),
            (ProbeOutput{{"k", ""}, {"", "v"}, {"last", "line"}}));
}

TEST(ProbeOutputParser, NothingIsTrimmed) {
  EXPECT_EQ(parseProbeOutput("Battery\t85\r\n name \t x \n"),
            (ProbeOutput{{"Battery", "85\r"}, {" name ", " x "}}));
}

TEST(ProbeOutputParser, LaterDuplicateWins) {
  EXPECT_EQ(parseProbeOutput("Battery\t10\nBattery\t20\n"), (ProbeOutput{{"Battery", "20"}}));
}

TEST(ProbeOutputParser, EmptyOrInvalidUtf8GivesNothing) {
  EXPECT_TRUE(parseProbeOutput("").empty());
  EXPECT_TRUE(parseProbeOutput("\n\n").empty());
  EXPECT_TRUE(parseProbeOutput("Bonjour\tabc\nname\t\xff\n").empty());
  EXPECT_TRUE(parseProbeOutput("Bonjour\t\xc0\xaf\n").empty());      // overlong '/'
  EXPECT_TRUE(parseProbeOutput("Bonjour\t\xed\xa0\x80\n").empty());  // surrogate
  EXPECT_TRUE(parseProbeOutput("Bonjour\t\xe2\x82").empty());        // truncated
  EXPECT_EQ(parseProbeOutput("name\tJosé’s 📱\n"), (ProbeOutput{{"name", "José’s 📱"}}));
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
