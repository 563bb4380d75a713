#include "usb/USBPluWatcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/Log.h"
#include "platform/fake/FakeRunLoop.h"
#include "platform/fake/FakeUsbRegistry.h"

namespace nuv {
namespace {

using Message = USBPluWatcherDelegate::Message;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class RecordingDelegate : public USBPluWatcherDelegate {
 public:
  std::set<Message> answers{Message::startMonitoring, Message::DevicePlugged,
                            Message::DeviceUnplugged};
  std::vector<std::string> calls;

  bool respondsTo(Message m) const override { return answers.count(m) > 0; }
  void startMonitoring() override { calls.push_back("startMonitoring"); }
  void DevicePlugged() override { calls.push_back("DevicePlugged"); }
  void DeviceUnplugged() override { calls.push_back("DeviceUnplugged"); }
};

// What the watcher logs while it lives: records at the default level (what
// goes to standard error) as lines of `info`, records of other levels in `others`.
struct LogCapture {
  LogCapture() {
    log::setSink([this](log::Level level, std::string_view line) {
      if (level == log::Level::Info) {
        info.append(line).append("\n");
      } else {
        others.emplace_back(line);
      }
    });
  }
  ~LogCapture() { log::setSink({}); }
  std::string info;
  std::vector<std::string> others;
};

UsbDevice device(std::string path, std::optional<std::string> name,
                 std::optional<std::uint32_t> location = 0x01000002) {
  return UsbDevice{std::move(path), std::move(name), location};
}

class USBPluWatcherTest : public ::testing::Test {
 protected:
  USBPluWatcherTest() {
    auto registry = std::make_unique<fake::FakeUsbRegistry>();
    registry_ = registry.get();
    watcher_ = std::make_unique<USBPluWatcher>(std::move(registry), loop_, /*runsLoop=*/false);
    watcher_->setDeleg(delegate_);
  }

  // Registers, then lets the queued messages run.
  void arm() {
    watcher_->appleUSBReg();
    loop_.runUntilIdle();
  }
  void attach(std::string path, std::optional<std::string> name,
              std::optional<std::uint32_t> location = 0x01000002) {
    registry_->attach(device(std::move(path), std::move(name), location));
    loop_.runUntilIdle();
  }
  void detach(const std::string& path) {
    registry_->detach(path);
    loop_.runUntilIdle();
  }

  fake::FakeRunLoop loop_;
  fake::FakeUsbRegistry* registry_ = nullptr;
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  LogCapture log_;
  std::unique_ptr<USBPluWatcher> watcher_;
};

TEST_F(USBPluWatcherTest, ArmingPassHandlesAttachedIPhoneOnceWithOneSecondWindow) {
  registry_->attach(device("/sys/usb1/1-1", "iPhone"));
  registry_->attach(device("/sys/usb1/1-2", "USB Keyboard"));
  watcher_->appleUSBReg();

  EXPECT_EQ(log_.info, "Starting run loop.\n");
  EXPECT_EQ(watcher_->justAddedDevice(), "iPhone");
  // The message is queued to the loop, not sent inside the callback.
  EXPECT_THAT(delegate_->calls, IsEmpty());
  loop_.runUntilIdle();
  EXPECT_THAT(delegate_->calls, ElementsAre("startMonitoring"));
  EXPECT_EQ(watcher_->recordCount(), 2u);
}

// Scripts of attaches ("+path name"), detaches ("-path") and waits ("wait
// ms") after arming, and the messages the delegate gets.
TEST_F(USBPluWatcherTest, TerminationsInsideTheWindowArePluggedOutsideUnplugged) {
  struct Case {
    const char* what;
    std::vector<std::string> steps;
    std::vector<std::string> calls;  // after the arming pass's
  };
  const Case cases[] = {
      {"boundary", {"+a iPhone", "wait 999", "-a"}, {"startMonitoring", "DevicePlugged"}},
      {"boundary", {"+b iPad", "wait 1000", "-b"}, {"startMonitoring", "DeviceUnplugged"}},
      {"the first clear cuts a second match's window short",
       {"+phone iPhone", "wait 500", "+pad iPad", "wait 700", "-pad"},
       {"startMonitoring", "startMonitoring", "DeviceUnplugged"}},
      // Two iPhones are indistinguishable: the old one leaving inside the
      // new one's window counts as plugged; an iPhone leaving while the
      // window holds "iPad" counts as unplugged.
      {"the name decides, not the identity",
       {"+old iPhone", "wait 5000", "+new iPhone", "wait 300", "-old", "+pad iPad", "-new"},
       {"startMonitoring", "startMonitoring", "DevicePlugged", "startMonitoring",
        "DeviceUnplugged"}},
      {"an iPod sends nothing; its termination is unplugged",
       {"+pod iPod", "+phone2 iPhone", "-pod"},
       {"startMonitoring", "DeviceUnplugged"}},
  };
  arm();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    loop_.advance(Milliseconds(5000));  // every earlier window is closed
    delegate_->calls.clear();
    for (const auto& step : c.steps) {
      const auto space = step.find(' ');
      if (step.rfind("wait ", 0) == 0) {
        loop_.advance(Milliseconds(std::stoi(step.substr(5))));
      } else if (step[0] == '+') {
        attach("/sys/" + step.substr(1, space - 1), step.substr(space + 1));
      } else {
        detach("/sys/" + step.substr(1));
      }
    }
    EXPECT_EQ(delegate_->calls, c.calls);
    EXPECT_EQ(loop_.pendingTaskCount(), 0u);
  }
  EXPECT_EQ(watcher_->recordCount(), 3u);  // the devices still attached
  // At the default level: the start line and each terminated device's name.
  EXPECT_EQ(log_.info, "Starting run loop.\niPhone\niPad\niPad\niPhone\niPhone\niPod\n");
}

// Every match's clear comes one window after that match, whatever the name
// holds by then. At each row's time (ms): a match if a name is given, then
// the name expected. No timer or delayed work is left pending for the clears.
TEST_F(USBPluWatcherTest, EachMatchClearsOneWindowLaterWithOneTimerPending) {
  struct Step {
    int at;
    std::optional<std::string> match;
    std::optional<std::string> expected;
  };
  // Matches at 0 (iPhone), 500 (iPad), 1200 (iPhone), 2199 (iPad), 2300 (iPhone).
  const std::vector<Step> steps = {
      {0, "iPhone", "iPhone"},    {500, "iPad", "iPad"},      {999, {}, "iPad"},
      {1000, {}, std::nullopt},   {1200, "iPhone", "iPhone"}, {1499, {}, "iPhone"},
      {1500, {}, std::nullopt},   {2199, "iPad", "iPad"},     {2200, {}, std::nullopt},
      {2300, "iPhone", "iPhone"}, {3198, {}, "iPhone"},       {3199, {}, std::nullopt},
      {3300, {}, std::nullopt},
  };
  arm();
  for (const auto& step : steps) {
    SCOPED_TRACE(step.at);
    loop_.advance(Milliseconds(step.at) - loop_.elapsed());
    if (step.match) attach("/sys/" + std::to_string(step.at), step.match);
    EXPECT_EQ(watcher_->justAddedDevice(), step.expected);
    EXPECT_EQ(loop_.pendingTaskCount(), 0u);
  }
}

TEST_F(USBPluWatcherTest, OtherUnreadableAndNonAsciiNamesSendNothingButAreReportedAndFreed) {
  arm();
  // Unreadable and non-ASCII names (the last three) are reported as "".
  const std::vector<std::optional<std::string>> names = {
      "USB Keyboard",   "iphone",          "IPAD", "iPhone ", "iPod2", "", std::nullopt,
      "iPhone\xC3\xA9", "\xE2\x80\x8BiPad"};
  for (std::size_t i = 0; i < names.size(); ++i) attach("/sys/d" + std::to_string(i), names[i]);
  EXPECT_EQ(watcher_->recordCount(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) detach("/sys/d" + std::to_string(i));

  EXPECT_THAT(delegate_->calls, IsEmpty());
  EXPECT_EQ(log_.info, "Starting run loop.\nUSB Keyboard\niphone\nIPAD\niPhone \niPod2\n\n\n\n\n");
  EXPECT_EQ(watcher_->recordCount(), 0u);
  EXPECT_EQ(registry_->interestCount(), 0u);
}

TEST_F(USBPluWatcherTest, DelegateAnswersArePerMessage) {
  delegate_->answers = {Message::DeviceUnplugged};
  arm();
  attach("/sys/a", "iPhone");
  // Inside the window: plugged, which this delegate does not take. Nothing
  // falls back to unplugged.
  detach("/sys/a");
  EXPECT_THAT(delegate_->calls, IsEmpty());

  loop_.advance(Milliseconds(2000));
  attach("/sys/b", "iPhone");
  loop_.advance(Milliseconds(1000));
  detach("/sys/b");
  EXPECT_THAT(delegate_->calls, ElementsAre("DeviceUnplugged"));
  EXPECT_EQ(watcher_->recordCount(), 0u);

  // The answer is taken when the message is queued: it still arrives.
  delegate_->answers = {Message::startMonitoring};
  registry_->attach(device("/sys/c", "iPad"));
  delegate_->answers.clear();
  loop_.runUntilIdle();
  EXPECT_THAT(delegate_->calls, ElementsAre("DeviceUnplugged", "startMonitoring"));
}

// A device without a location is matched but not followed; messages other
// than a termination do nothing; without a delegate nothing is sent. Records
// are freed all the same.
TEST_F(USBPluWatcherTest, OnlyTerminationsOfFollowedDevicesActAndOnlyOnADelegate) {
  arm();
  attach("/sys/a", "iPhone", std::nullopt);
  EXPECT_EQ(watcher_->justAddedDevice(), "iPhone");
  EXPECT_EQ(registry_->interestCount(), 0u);
  detach("/sys/a");
  attach("/sys/b", "iPhone");
  loop_.advance(Milliseconds(2000));
  for (std::uint32_t type : {0u, 0xE0000001u, kUsbMessageServicePropertyChange, 0xE0000011u}) {
    registry_->sendMessage("/sys/b", type);
  }
  loop_.runUntilIdle();
  EXPECT_THAT(delegate_->calls, ElementsAre("startMonitoring", "startMonitoring"));
  EXPECT_EQ(watcher_->recordCount(), 1u);
  EXPECT_EQ(log_.info, "Starting run loop.\n");
  registry_->sendMessage("/sys/b", kUsbMessageServiceIsTerminated);
  loop_.runUntilIdle();
  EXPECT_EQ(watcher_->recordCount(), 0u);

  watcher_->setDeleg(nullptr);
  attach("/sys/c", "iPhone");
  detach("/sys/c");
  EXPECT_THAT(delegate_->calls,
              ElementsAre("startMonitoring", "startMonitoring", "DeviceUnplugged"));
  EXPECT_EQ(watcher_->recordCount(), 0u);
  EXPECT_EQ(log_.info, "Starting run loop.\niPhone\niPhone\n");
  EXPECT_EQ(loop_.pendingTaskCount(), 0u);
}

TEST_F(USBPluWatcherTest, UnavailableRegistryWatchesNothing) {
  registry_->setAvailable(false);
  registry_->attach(device("/sys/a", "iPhone"));
  arm();
  EXPECT_THAT(delegate_->calls, IsEmpty());
  EXPECT_EQ(log_.info, "");

  USBPluWatcher noRegistry(nullptr, loop_, true);
  noRegistry.appleUSBReg();
  EXPECT_EQ(log_.info, "");
  EXPECT_EQ(log_.others.size(), 1u);
}

// A watcher on its own registry holding one device, already registered.
void registerWith(fake::FakeRunLoop& loop, std::shared_ptr<RecordingDelegate> delegate,
                  const char* name, bool runsLoop) {
  auto registry = std::make_unique<fake::FakeUsbRegistry>();
  registry->attach(device("/sys/a", name));
  USBPluWatcher watcher(std::move(registry), loop, runsLoop);
  watcher.setDeleg(std::move(delegate));
  watcher.appleUSBReg();  // the fake loop's run() returns once nothing is left to run
}

TEST(USBPluWatcherLoop, ServesTheLoopAndItsMessagesOutliveTheWatcher) {
  fake::FakeRunLoop loop;
  auto delegate = std::make_shared<RecordingDelegate>();
  LogCapture log;
  registerWith(loop, delegate, "iPad", true);
  EXPECT_EQ(log.info, "Starting run loop.\n");
  EXPECT_THAT(log.others, ElementsAre("Unexpectedly back from CFRunLoopRun()!"));
  EXPECT_THAT(delegate->calls, ElementsAre("startMonitoring"));
  // Not serving the loop: the message and the clear are still pending when the watcher goes.
  registerWith(loop, delegate, "iPhone", false);
  loop.advance(Milliseconds(2000));
  EXPECT_THAT(delegate->calls, ElementsAre("startMonitoring", "startMonitoring"));
}

}  // namespace
}  // namespace nuv
