#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace nuv::linux_backend {
class SerialWorker;
}

namespace nuvbridge {

// The metrics as a file for node_exporter's textfile collector, replaced
// whole on every change: written to a temporary file beside it (its name
// ends in random characters, never in ".prom", so the collector never reads
// half a file) and renamed over it, readable by every user (the exporter
// usually runs as a user of its own). The writes run on a thread of their
// own, so a slow disk never holds up the loop; texts that come while one is
// written are coalesced, the newest wins. A failure is logged once, and so
// is the recovery.
class TextfileWriter {
 public:
  explicit TextfileWriter(std::string path);
  // Waits for a write in progress, then removes the file: metrics nobody
  // keeps current must not look current.
  ~TextfileWriter();
  TextfileWriter(const TextfileWriter&) = delete;
  TextfileWriter& operator=(const TextfileWriter&) = delete;

  void write(std::string text);

 private:
  struct Shared {
    std::mutex mutex;
    std::optional<std::string> pending;  // newest text not yet written
    std::string failure;                 // the last failure logged; "" when writes work
  };
  static void flush(const std::string& path, Shared& shared);

  std::string path_;
  std::shared_ptr<Shared> shared_;
  std::shared_ptr<nuv::linux_backend::SerialWorker> worker_;
};

}  // namespace nuvbridge
