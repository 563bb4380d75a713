#include "TextfileWriter.h"

#include <glib/gi18n.h>
#include <unistd.h>

#include <chrono>

#include "platform/Log.h"
#include "platform/linux/runtime/DurableFile.h"
#include "platform/linux/runtime/LocaleText.h"
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
    nuv::log::warning(nuv::linux_backend::LocaleText::format(
        // TRANSLATORS: the textfile, then the reason.
        _("cannot write the metrics textfile %s: %s"), path.c_str(), error.c_str()));
    shared.failure = error;
  } else if (written && !shared.failure.empty()) {
    nuv::log::info(nuv::linux_backend::LocaleText::format(
        // TRANSLATORS: %s is the textfile.
        _("the metrics textfile %s is written again"), path.c_str()));
    shared.failure.clear();
  }
}

}  // namespace nuvbridge
