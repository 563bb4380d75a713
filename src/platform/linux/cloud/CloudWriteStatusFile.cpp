#include "platform/linux/cloud/CloudWriteStatusFile.h"

#include <glib.h>
#include <unistd.h>

#include "platform/linux/GlibHandles.h"
#include "platform/linux/runtime/DurableFile.h"
#include "platform/linux/runtime/IsoDate.h"
#include "platform/linux/runtime/SerialWorker.h"

namespace nuv::linux_backend {
namespace {

constexpr const char* kGroup = "writes";

using KeyFile = nuv::glib::KeyFile;

std::string text(GKeyFile* file, const char* key) {
  gchar* value = g_key_file_get_string(file, kGroup, key, nullptr);
  std::string out = value ? value : "";
  g_free(value);
  return out;
}

}  // namespace

CloudWriteStatusFile::CloudWriteStatusFile(std::string path)
    : path_(std::move(path)), worker_(SerialWorker::start()) {
  worker_->enqueue([this] {
    if (auto contents = read(path_)) earlier_ = contents->status;
  });
}

CloudWriteStatusFile::~CloudWriteStatusFile() { worker_->stop(); }

void CloudWriteStatusFile::store(const CloudWriteStatus& status) {
  {
    std::lock_guard lock(mutex_);
    const bool queued = newest_.has_value();
    newest_ = status;
    if (queued) return;  // the queued write takes the newest value
  }
  worker_->enqueue([this] { writeNewest(); });
}

void CloudWriteStatusFile::waitUntilWritten() { worker_->waitUntilIdle(); }

void CloudWriteStatusFile::writeNewest() {
  CloudWriteStatus status;
  {
    std::lock_guard lock(mutex_);
    if (!newest_) return;
    status = *newest_;
    newest_.reset();
  }
  if (!status.lastSuccess) {
    status.lastSuccess = earlier_.lastSuccess;
    status.lastRecordName = earlier_.lastRecordName;
    status.lastDeviceName = earlier_.lastDeviceName;
  }
  KeyFile file(g_key_file_new());
  g_key_file_set_uint64(file.get(), kGroup, "pending", status.pendingCount);
  if (status.lastSuccess) {
    g_key_file_set_string(file.get(), kGroup, "last_success",
                          IsoDate::format(*status.lastSuccess).c_str());
    g_key_file_set_int64(file.get(), kGroup, "last_success_us", status.lastSuccess->microseconds());
    g_key_file_set_string(file.get(), kGroup, "last_record", status.lastRecordName.c_str());
    g_key_file_set_string(file.get(), kGroup, "last_device", status.lastDeviceName.c_str());
  }
  g_key_file_set_int64(file.get(), kGroup, "pid", ::getpid());
  gsize length = 0;
  gchar* data = g_key_file_to_data(file.get(), &length, nullptr);
  DurableFile::replace(path_, std::string_view(data ? data : "", length));
  g_free(data);
}

std::optional<CloudWriteStatusFile::Contents> CloudWriteStatusFile::read(const std::string& path) {
  KeyFile file(g_key_file_new());
  if (!g_key_file_load_from_file(file.get(), path.c_str(), G_KEY_FILE_NONE, nullptr)) {
    return std::nullopt;
  }
  Contents contents;
  contents.status.pendingCount =
      static_cast<std::size_t>(g_key_file_get_uint64(file.get(), kGroup, "pending", nullptr));
  contents.pid = static_cast<long>(g_key_file_get_int64(file.get(), kGroup, "pid", nullptr));
  if (g_key_file_has_key(file.get(), kGroup, "last_success_us", nullptr)) {
    contents.status.lastSuccess = Date::fromMicroseconds(
        g_key_file_get_int64(file.get(), kGroup, "last_success_us", nullptr));
    contents.status.lastRecordName = text(file.get(), "last_record");
    contents.status.lastDeviceName = text(file.get(), "last_device");
  }
  return contents;
}

}  // namespace nuv::linux_backend
