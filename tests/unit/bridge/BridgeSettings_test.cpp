#include "BridgeSettings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>

#include "TempDir.h"

namespace nuvbridge {
namespace {

using ::testing::HasSubstr;

TEST(BridgeSettings, FileOptionsDefaultsAndRefusals) {
  nuv::test::TempDir dir;
  const std::string conf = dir.path() + "/bridge.conf", secret = dir.path() + "/secret";
  const auto write = [](const std::string& path, const std::string& text, mode_t mode = 0600) {
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
  };
  struct Case {
    const char* what;
    std::optional<std::string> file;  // none: no file at all
    BridgeSettings::Options options;
    mode_t secretMode;
    int status;
    const char* error;
    std::function<void(const BridgeSettings&)> check;
  };
  const Case cases[] = {
      {"the file, with the defaults",
       "[prometheus]\nlisten = 9101\ntextfile = /var/lib/nuv.prom\n[mqtt]\nurl = mqtt://broker\n"
       "username = ann\npassword-file = " +
           secret + "\n",
       {},
       0600,
       0,
       "",
       [](const BridgeSettings& s) {
         EXPECT_EQ(s.listen->address, "127.0.0.1");
         EXPECT_EQ(s.listen->port, 9101u);
         EXPECT_TRUE(s.listen->loopback);
         EXPECT_EQ(s.textfile, "/var/lib/nuv.prom");
         EXPECT_EQ(s.mqtt->broker, "mqtt://broker:1883");
         EXPECT_EQ(*s.mqtt->password, "pass word");
         EXPECT_EQ(s.mqtt->topicPrefix, "nuv");
         EXPECT_EQ(s.mqtt->discoveryPrefix, "homeassistant");
         EXPECT_EQ(s.mqtt->clientId, "nuv-bridge-lab_3");
       }},
      {"options over the file",
       "[prometheus]\nlisten = 9101\n[mqtt]\nurl = mqtt://broker\ntopic-prefix = lab/\n",
       {std::nullopt, "[::]:9200", std::nullopt, "mqtts://[fd00::1]"},
       0600,
       0,
       "",
       [](const BridgeSettings& s) {
         EXPECT_EQ(s.listen->address, "::");
         EXPECT_FALSE(s.listen->loopback);
         EXPECT_EQ(s.mqtt->broker, "mqtts://[fd00::1]:8883");
         EXPECT_TRUE(s.mqtt->tls);
         EXPECT_EQ(s.mqtt->topicPrefix, "lab");
         EXPECT_FALSE(s.mqtt->password);
       }},
      {"nothing configured", std::nullopt, {}, 0600, 2, "nothing to do: give --listen", nullptr},
      {"a typo",
       "[prometheus]\nlisten-on = 9101\n",
       {},
       0600,
       2,
       "unknown key \"listen-on\" in [prometheus]",
       nullptr},
      {"credentials in the URL",
       "",
       {std::nullopt, std::nullopt, std::nullopt, "mqtt://a:b@h"},
       0600,
       2,
       "password-file",
       nullptr},
      {"not an IP address",
       "",
       {std::nullopt, "example.org:80", std::nullopt, std::nullopt},
       0600,
       2,
       "\"example.org\" is not an IP address",
       nullptr},
      {"a password file others can read",
       "[mqtt]\nurl = mqtt://broker\nusername = ann\npassword-file = " + secret + "\n",
       {},
       0640,
       1,
       "can be read by other users (mode 0640); make it yours alone: chmod 600",
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    write(secret, "pass word\nsecond line\n", c.secretMode);
    BridgeSettings::Options options = c.options;
    if (c.file) {
      write(conf, *c.file);
      options.config = conf;
    } else {
      options.config = std::nullopt;
      ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    }
    const LoadedSettings loaded = BridgeSettings::load(options, "lab.3");
    EXPECT_EQ(loaded.status, c.status);
    EXPECT_THAT(loaded.error, HasSubstr(c.error));
    EXPECT_EQ(loaded.error.find('\n'), std::string::npos);
    if (c.check) {
      ASSERT_TRUE(loaded.settings) << loaded.error;
      c.check(*loaded.settings);
    }
  }
}

}  // namespace
}  // namespace nuvbridge
