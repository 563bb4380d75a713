#include "client/DeviceStatus.h"

#include <gtest/gtest.h>

// The status texts are checked where they are shown: the terminal table
// (WatchView_test) and the window's rows (DeviceRowModel_test).
namespace nuvclient {
namespace {

TEST(DeviceStatus, DisplayTextDisarmsTerminalEscapes) {
  EXPECT_EQ(DeviceStatus::displayText("Zoë’s iPhone"), "Zoë’s iPhone");
  EXPECT_EQ(DeviceStatus::displayText("\x1b]0;pwned\x07\x1b[2J"), "?]0;pwned??[2J");
  EXPECT_EQ(DeviceStatus::displayText("a\302\233b"), "a?b");  // C1 CSI
  EXPECT_EQ(DeviceStatus::displayText("a\377b"), "a?b");
}

}  // namespace
}  // namespace nuvclient
