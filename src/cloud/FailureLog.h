#pragma once

#include <mutex>
#include <set>
#include <string>

#include "platform/Timer.h"
#include "platform/cloud/CloudError.h"

namespace nuv {

// The log lines of a cloud call that is retried until it works: one warning
// per kind of failure (the error code), not one per retry, and one line when
// it works again. After that recovery every kind is new again.
//
// Thread-safe.
class FailureLog {
 public:
  // `what` names the call in the lines ("fetching the records").
  explicit FailureLog(std::string what) : what_(std::move(what)) {}

  void failed(const CloudError& error, Milliseconds retryIn);
  // `detail` is added to the recovery line.
  void succeeded(const std::string& detail = {});

 private:
  const std::string what_;
  std::mutex mutex_;
  std::set<CloudErrorCode> logged_;
};

}  // namespace nuv
