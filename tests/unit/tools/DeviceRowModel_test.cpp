#include "DeviceRowModel.h"

#include <gtest/gtest.h>

#include "platform/fake/FakeRunLoop.h"

namespace nuvdevices {
namespace {

using namespace std::chrono_literals;
using Fields = std::map<std::string, std::string>;

const nuv::Date kT0 = nuv::Date::fromMicroseconds(1765000000LL * 1000000);

nuv::Date at(std::chrono::microseconds offset) { return nuv::Date{kT0.time + offset}; }

nuvclient::DeviceEntry entry(std::string key, Fields fields,
                             std::optional<nuv::Date> stamp = std::nullopt) {
  return nuvclient::DeviceEntry{std::move(key), std::move(fields), stamp};
}

nuvclient::StackPayload map(std::vector<nuvclient::DeviceEntry> devices) {
  std::sort(devices.begin(), devices.end(),
            [](const auto& a, const auto& b) { return a.key < b.key; });
  return nuvclient::StackPayload{std::move(devices)};
}

class DeviceRowModelTest : public ::testing::Test {
 protected:
  DeviceRowModelTest() { loop.setWallClockOrigin(kT0); }
  std::string age(const std::string& key) {
    for (const auto& row : model.rows()) {
      if (row.key == key) return row.ageText;
    }
    return "(no row)";
  }
  nuv::fake::FakeRunLoop loop;
  DeviceRowModel model{loop};
};

// Every value of a row but its summary, on one line.
std::string describe(const DeviceRow& r) {
  static const char* const kinds[] = {"phone", "tablet", "player", "other"};
  return r.key + " | " + r.name + " | " + r.batteryText + " | " +
         (r.batteryPercent ? std::to_string(*r.batteryPercent) : "-") + " | " +
         (r.trusted ? "trusted" : "untrusted") + " | " + (r.charging ? "charging" : "-") + " | " +
         r.attachedText + " | " + kinds[static_cast<int>(r.kind)];
}

TEST(DeviceRowModelRow, ShowsWhatTheEntrySays) {
  struct Case {
    const char* what;
    std::vector<std::string> fields;  // key, value, key, value...
    const char* row;
    const char* summary;
  };
  const Case cases[] = {
      {"charging iPhone on USB",
       {"name", "My Phone", "Battery", "85", "Charging", "1", "Host Attached", "1", "ProductType",
        "iPhone15,2", "Trusted", "1"},
       "udid-1 | My Phone | 85% | 85 | trusted | charging | Attached by USB | phone",
       "85%, charging, attached by USB, changed just now"},
      {"iPad over the network, not charging",
       {"name", "Tab", "Battery", "7", "Charging", "0", "Host Attached", "0", "ProductType",
        "iPad13,4"},
       "udid-1 | Tab | 7% | 7 | trusted | - | Not attached | tablet",
       "7%, not attached, changed just now"},
      {"untrusted: no battery, the hint instead, charging ignored",
       {"name", "Locked", "Trusted", "0", "Battery", "50", "Charging", "1", "Host Attached", "1",
        "ProductType", "iPod9,1"},
       "udid-1 | Locked | Unlock and trust this computer | - | untrusted | - | Attached by USB | "
       "player",
       "Unlock and trust this computer, attached by USB, changed just now"},
      {"markup characters stay literal",
       {"name", "<b>Zoë's</b> &amp; iPad", "Battery", "100"},
       "udid-1 | <b>Zoë's</b> &amp; iPad | 100% | 100 | trusted | - | Not attached | other",
       "100%, not attached, changed just now"},
      {"control characters cannot break the row",
       {"name", "two\nlines\x1b[2J", "Battery", "250"},
       "udid-1 | two?lines?[2J | 100% | 100 | trusted | - | Not attached | other",
       "100%, not attached, changed just now"},
      {"no name: the key; unreadable level and flags",
       {"name", "", "Battery", "-3", "Charging", "maybe", "Host Attached", "2"},
       "udid-1 | udid-1 | Battery unknown | - | trusted | - | Not attached | other",
       "Battery unknown, not attached, changed just now"},
  };
  for (const auto& c : cases) {
    Fields fields;
    for (std::size_t i = 0; i + 1 < c.fields.size(); i += 2) fields[c.fields[i]] = c.fields[i + 1];
    const DeviceRow row = DeviceRowModel::rowOf(entry("udid-1", fields), kT0, kT0);
    EXPECT_EQ(describe(row), c.row) << c.what;
    EXPECT_EQ(row.summary, c.summary) << c.what;
  }
}

TEST(DeviceRowModelAge, TextsAtTheirBoundaries) {
  const std::pair<std::chrono::microseconds, const char*> cases[] = {
      {-5s, "changed just now"},           {0s, "changed just now"},
      {60s - 1us, "changed just now"},     {60s, "changed 1 min ago"},
      {2min + 59s, "changed 2 min ago"},   {1h - 1us, "changed 59 min ago"},
      {1h, "changed 1 hour ago"},          {2h, "changed 2 hours ago"},
      {24h - 1us, "changed 23 hours ago"}, {24h, "changed 1 day ago"},
      {49h, "changed 2 days ago"},
  };
  for (const auto& [age, text] : cases) {
    EXPECT_EQ(DeviceRowModel::ageText(age), text) << age.count();
  }
}

TEST_F(DeviceRowModelTest, RemembersTheLastChangeItSaw) {
  // t0: one stamped 90 s ago, one without a stamp (first seen: now).
  model.update(map({entry("a", {{"Battery", "50"}}, at(-90s)), entry("b", {{"Battery", "60"}})}));
  EXPECT_EQ(age("a"), "changed 1 min ago");
  EXPECT_EQ(age("b"), "changed just now");

  // 3 min later the module sends both again unchanged, without stamps: the
  // remembered moments stand.
  loop.advance(3min);
  model.update(map({entry("a", {{"Battery", "50"}}), entry("b", {{"Battery", "60"}})}));
  EXPECT_EQ(age("a"), "changed 4 min ago");
  EXPECT_EQ(age("b"), "changed 3 min ago");

  // A USB detach switches "Host Attached" without a stamp: changed now. A
  // stamp from the future (another clock) counts as now too.
  loop.advance(1min);
  model.update(map({entry("a", {{"Battery", "50"}, {"Host Attached", "0"}}),
                    entry("b", {{"Battery", "61"}}, at(10min))}));
  EXPECT_EQ(age("a"), "changed just now");
  EXPECT_EQ(age("b"), "changed just now");
  loop.advance(2min);
  EXPECT_EQ(age("b"), "changed 2 min ago");

  // A device that leaves the map is forgotten: back without a stamp, it is new.
  model.update(map({entry("a", {{"Battery", "50"}, {"Host Attached", "0"}})}));
  loop.advance(5min);
  model.update(map(
      {entry("a", {{"Battery", "50"}, {"Host Attached", "0"}}), entry("b", {{"Battery", "61"}})}));
  EXPECT_EQ(age("a"), "changed 7 min ago");
  EXPECT_EQ(age("b"), "changed just now");

  model.clear();
  EXPECT_TRUE(model.empty());
}

TEST_F(DeviceRowModelTest, WakesExactlyWhenAnAgeTextChanges) {
  EXPECT_EQ(model.untilAgeTextChanges(), DeviceRowModel::kMaxWait);  // nothing to age
  model.update(map({entry("a", {}, at(0s))}));
  EXPECT_EQ(model.untilAgeTextChanges(), 60000ms);
  loop.advance(59999ms);
  EXPECT_EQ(model.untilAgeTextChanges(), 1ms);
  EXPECT_EQ(age("a"), "changed just now");
  loop.advance(1ms);
  EXPECT_EQ(age("a"), "changed 1 min ago");
  EXPECT_EQ(model.untilAgeTextChanges(), 60000ms);

  // Two hours in, the next change is an hour away, but the wait is capped.
  loop.advance(2h - 1min + 30s);
  EXPECT_EQ(age("a"), "changed 2 hours ago");
  EXPECT_EQ(model.untilAgeTextChanges(), DeviceRowModel::kMaxWait);

  // A second device, changed 59.5005 s ago, sets the pace: its text changes
  // in 499.5 ms, and the wait rounds up so that it has changed when it ends.
  model.update(map({entry("a", {}, at(0s)), entry("b", {}, at(2h + 30s - 59500500us))}));
  EXPECT_EQ(model.untilAgeTextChanges(), 500ms);
}

TEST_F(DeviceRowModelTest, RowsAreOrderedByNameThenKey) {
  model.update(map({entry("k1", {{"name", "zed"}}), entry("k2", {{"name", "Anna"}}),
                    entry("k3", {{"name", "bob"}}), entry("k0", {{"name", "Bob"}})}));
  std::vector<std::string> keys;
  for (const auto& row : model.rows()) keys.push_back(row.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"k2", "k0", "k3", "k1"}));
  EXPECT_EQ(model.size(), 4u);
}

}  // namespace
}  // namespace nuvdevices
