#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/cloud/CloudWriteStatus.h"

namespace nuv::linux_backend {

class SerialWorker;

// The record store's write status in a small key file (0600), written by the
// module and read by `nuvctl cloud status`:
//
//   [writes]
//   pending=1
//   last_success=2026-06-01T12:00:00Z
//   last_record=A1
//   last_device=My Phone
//   pid=1234
//
// Writes run on a worker thread of their own, so the main loop never waits
// for the disk; when several updates come quickly only the newest is written.
// A status without a last success keeps the one the file already had (from
// an earlier run of the module).
class CloudWriteStatusFile {
 public:
  struct Contents {
    CloudWriteStatus status;
    long pid = 0;  // of the module that wrote it
  };

  explicit CloudWriteStatusFile(std::string path);
  ~CloudWriteStatusFile();
  CloudWriteStatusFile(const CloudWriteStatusFile&) = delete;
  CloudWriteStatusFile& operator=(const CloudWriteStatusFile&) = delete;

  // Any thread.
  void store(const CloudWriteStatus& status);
  // Blocks until what was stored before is on disk. Tests only.
  void waitUntilWritten();

  // Absent when the file is missing or unreadable.
  static std::optional<Contents> read(const std::string& path);

 private:
  void writeNewest();

  const std::string path_;
  std::shared_ptr<SerialWorker> worker_;
  std::mutex mutex_;
  std::optional<CloudWriteStatus> newest_;  // stored, not written yet
  CloudWriteStatus earlier_;                // worker only: the file's last success
};

}  // namespace nuv::linux_backend
