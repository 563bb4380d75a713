#include "TextfileWriter.h"

#include <unistd.h>

#include <chrono>

#include "platform/Log.h"
#include "platform/linux/runtime/DurableFile.h"
#include "platform/linux/runtime/SerialWorker.h"

namespace nuvbridge {

TextfileWriter::TextfileWriter(std::string path)
    : path_(std::move(path)),
      shared_(std::make_shared<Shared>()),
      worker_(nuv::linux_backend::SerialWorker::start()) {}

TextfileWriter::~TextfileWriter() {
  worker_->enqueue([path = path_] { ::unlink(path.c_str()); });
  worker_->waitUntilIdleFor(std::chrono::seconds(5));
  worker_->stop();
}

void TextfileWriter::write(std::string text) {
  {
    std::lock_guard lock(shared_->mutex);
    const bool queued = shared_->pending.has_value();
    shared_->pending = std::move(text);
    if (queued) return;
  }
  worker_->enqueue([path = path_, shared = shared_] { flush(path, *shared); });
}

void TextfileWriter::flush(const std::string& path, Shared& shared) {
  std::string text;
  {
    std::lock_guard lock(shared.mutex);
    if (!shared.pending) return;
    text = std::move(*shared.pending);
    shared.pending.reset();
  }
  std::string error;
  const bool written = nuv::linux_backend::DurableFile::replace(path, text, &error, 0644);
  // Only this thread reads or writes `failure`.
  if (!written && error != shared.failure) {
    nuv::log::warning("cannot write the metrics textfile " + path + ": " + error);
    shared.failure = error;
  } else if (written && !shared.failure.empty()) {
    nuv::log::info("the metrics textfile " + path + " is written again");
    shared.failure.clear();
  }
}

}  // namespace nuvbridge
