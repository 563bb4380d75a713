// The small Linux helpers the module and nuvctl share: ISO 8601 dates, the
// durable private file and the write status file built on both.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "TempDir.h"
#include "platform/linux/cloud/CloudWriteStatusFile.h"
#include "platform/linux/runtime/DurableFile.h"
#include "platform/linux/runtime/IsoDate.h"

namespace nuv::linux_backend {
namespace {

namespace fs = std::filesystem;

class PrivateFilesTest : public ::testing::Test {
 protected:
  test::TempDir tmp;
  const fs::path dir = fs::path(tmp.path()) / "d";  // not made yet
};

TEST(IsoDateTest, UtcWithOrWithoutMicroseconds) {
  struct Case {
    std::int64_t us;
    bool micro;
    const char* text;
  };
  const Case cases[] = {
      {0, false, "1970-01-01T00:00:00Z"},
      {0, true, "1970-01-01T00:00:00.000000Z"},
      {-1, true, "1969-12-31T23:59:59.999999Z"},
      {-1, false, "1969-12-31T23:59:59Z"},
      {1'780'272'000'000'250, true, "2026-06-01T00:00:00.000250Z"},
      {1'780'275'723'999'999, false, "2026-06-01T01:02:03Z"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsoDate::format(Date::fromMicroseconds(c.us), c.micro), c.text) << c.us;
  }
}

TEST_F(PrivateFilesTest, DurableFileIsPrivateAndReplacedWhole) {
  const fs::path file = dir / "new" / "token";
  std::string error;
  ASSERT_TRUE(DurableFile::replace(file.string(), "one\n", &error)) << error;
  EXPECT_EQ(test::modeOf(file.parent_path()), 0700u);
  EXPECT_EQ(test::modeOf(file), 0600u);
  fs::permissions(file, fs::perms(0644));
  ASSERT_TRUE(DurableFile::replace(file.string(), "two\n"));
  EXPECT_EQ(test::contentOf(file), "two\n");
  EXPECT_EQ(test::modeOf(file), 0600u);
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), {}), 1);  // no temporary left
  // A folder that cannot be made fails with the reason, nothing written.
  EXPECT_FALSE(DurableFile::replace((file / "below-a-file").string(), "x", &error));
  EXPECT_FALSE(error.empty());
}

TEST_F(PrivateFilesTest, WriteStatusRoundTripsAndKeepsAnEarlierLastSuccess) {
  const fs::path file = dir / "cloud.writes";
  const CloudWriteStatus status{2, Date::fromMicroseconds(1'780'272'000'000'000), "A1",
                                "Zoë's iPhone"};
  {
    CloudWriteStatusFile writer(file.string());
    writer.store(status);
    writer.waitUntilWritten();
  }
  auto read = CloudWriteStatusFile::read(file.string());
  ASSERT_TRUE(read);
  EXPECT_EQ(read->status, status);
  EXPECT_EQ(read->pid, ::getpid());
  EXPECT_EQ(test::modeOf(file), 0600u);
  EXPECT_NE(test::contentOf(file).find("last_success=2026-06-01T00:00:00Z"), std::string::npos);

  // A restarted module has no success yet: the file keeps the earlier one.
  CloudWriteStatusFile restarted(file.string());
  restarted.store(CloudWriteStatus{});
  restarted.waitUntilWritten();
  read = CloudWriteStatusFile::read(file.string());
  ASSERT_TRUE(read);
  EXPECT_EQ(read->status.pendingCount, 0u);
  EXPECT_EQ(read->status.lastRecordName, "A1");
  EXPECT_EQ(read->status.lastSuccess, status.lastSuccess);
  EXPECT_FALSE(CloudWriteStatusFile::read((dir / "missing").string()));
}

}  // namespace
}  // namespace nuv::linux_backend
