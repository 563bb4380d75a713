// Runs under umockdev-wrapper: /sys and the udev netlink socket come from a
// test bed built by each test.
#include "platform/linux/udev/UdevUsbRegistry.h"

#include <glib.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <umockdev.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace nuv::linux_backend {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class UdevUsbRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "umockdev-preload")) {
      GTEST_SKIP() << "needs umockdev-wrapper";
    }
    testbed_ = umockdev_testbed_new();
  }
  void TearDown() override {
    registry_.reset();
    if (testbed_) g_object_unref(testbed_);
  }

  std::string addUsbDevice(const char* name, const char* product, const char* busnum = "1",
                           const char* devnum = "2", const char* devtype = "usb_device") {
    std::vector<const char*> attrs;
    if (product) attrs.insert(attrs.end(), {"product", product});
    if (busnum) attrs.insert(attrs.end(), {"busnum", busnum});
    if (devnum) attrs.insert(attrs.end(), {"devnum", devnum});
    attrs.push_back(nullptr);
    const char* props[] = {"DEVTYPE", devtype, nullptr};
    gchar* path =
        umockdev_testbed_add_devicev(testbed_, "usb", name, nullptr,
                                     const_cast<gchar**>(attrs.data()), const_cast<gchar**>(props));
    std::string result = path ? path : "";
    g_free(path);
    return result;
  }

  void follow(const UsbDevice& device) {
    subscriptions_.push_back(registry_->addInterestNotification(
        device, [this, path = device.syspath](std::uint32_t type) {
          messages_.push_back(path + ":" + std::to_string(type));
        }));
  }

  // Serves the default context until `done` or a bounded wait passes.
  template <class Pred>
  bool serveUntil(Pred done, int timeoutMs = 3000) {
    const gint64 end = g_get_monotonic_time() + timeoutMs * 1000;
    while (!done() && g_get_monotonic_time() < end) g_main_context_iteration(nullptr, FALSE);
    return done();
  }
  // Lets in-flight uevents arrive when none are expected.
  void settle() {
    serveUntil([] { return false; }, 150);
  }

  UMockdevTestbed* testbed_ = nullptr;
  std::unique_ptr<UdevUsbRegistry> registry_ = std::make_unique<UdevUsbRegistry>();
  std::vector<UsbDevice> matched_;
  std::vector<std::string> messages_;
  std::vector<Subscription> subscriptions_;
};

// The arming pass lists USB devices, not interfaces, with their facts cached;
// their queued "add" uevents match nothing. Like the watcher, each later
// arrival is followed from inside its match; an extra "add" of an attached
// device matches nothing. An ended subscription hears nothing, but the
// removal is still tracked. (Volume: usb_test.py's storm.)
TEST_F(UdevUsbRegistryTest, ArmingPassThenEachArrivalMatchesOnceAndIsFollowedBySyspath) {
  const std::string pad = addUsbDevice("1-1", "iPad", "3", "7");
  const std::string nameless = addUsbDevice("1-2", nullptr);
  const std::string nobus = addUsbDevice("1-3", "Keyboard", nullptr, "4");
  addUsbDevice("1-1:1.0", nullptr, nullptr, nullptr, "usb_interface");
  auto onMatch = [this](const UsbDevice& device) {
    matched_.push_back(device);
    follow(device);
  };
  auto present = registry_->addMatchingNotification(onMatch);
  ASSERT_TRUE(present.has_value());
  EXPECT_FALSE(registry_->addMatchingNotification(onMatch).has_value());
  std::map<std::string, UsbDevice> byPath;
  for (const auto& d : *present) byPath[d.syspath] = d;
  ASSERT_EQ(byPath.size(), 3u);
  EXPECT_EQ(byPath[pad].name, "iPad");
  EXPECT_EQ(byPath[pad].locationID, (3u << 24) | 7u);
  EXPECT_EQ(byPath[nameless].name, std::nullopt);
  EXPECT_TRUE(byPath[nameless].locationID.has_value());
  EXPECT_EQ(byPath[nobus].name, "Keyboard");
  EXPECT_EQ(byPath[nobus].locationID, std::nullopt);
  follow(byPath[pad]);
  subscriptions_.clear();
  umockdev_testbed_uevent(testbed_, pad.c_str(), "remove");
  settle();
  EXPECT_THAT(matched_, IsEmpty());
  EXPECT_THAT(messages_, IsEmpty());

  const std::string phone = addUsbDevice("2-1", "iPhone");
  for (int i = 1; i <= 3; ++i) {
    umockdev_testbed_uevent(testbed_, phone.c_str(), "add");
    umockdev_testbed_uevent(testbed_, phone.c_str(), "add");
    umockdev_testbed_uevent(testbed_, phone.c_str(), "change");
    umockdev_testbed_uevent(testbed_, phone.c_str(), "remove");
    ASSERT_TRUE(serveUntil([&] { return messages_.size() == 2u * i; })) << i;
  }
  settle();
  ASSERT_EQ(matched_.size(), 3u);
  EXPECT_EQ(matched_[0].syspath, phone);
  const std::string change = phone + ":" + std::to_string(kUsbMessageServicePropertyChange);
  const std::string removal = phone + ":" + std::to_string(kUsbMessageServiceIsTerminated);
  EXPECT_THAT(messages_, ElementsAre(change, removal, change, removal, change, removal));
}

}  // namespace
}  // namespace nuv::linux_backend
