#include "cloud/FailureLog.h"

#include "platform/Log.h"

namespace nuv {

void FailureLog::failed(const CloudError& error, Milliseconds retryIn) {
  {
    std::lock_guard lock(mutex_);
    if (!logged_.insert(error.code).second) return;
  }
  log::warning("cloud: " + what_ + " failed: " + error.message + " (retrying in " +
               std::to_string(retryIn.count() / 1000) + " s, and until it works)");
}

void FailureLog::succeeded(const std::string& detail) {
  {
    std::lock_guard lock(mutex_);
    if (logged_.empty()) return;
    logged_.clear();
  }
  log::info("cloud: " + what_ + " works again" + (detail.empty() ? "" : ": " + detail));
}

}  // namespace nuv
