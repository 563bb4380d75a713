#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace nuv {

// Error kinds a cloud backend reports. The values follow the cloud service's
// published error codes so that a code read from one backend means the same
// thing in another. The record store branches on them only to tell a write
// that can never land (the record is gone, the request is malformed) from one
// worth trying again.
enum class CloudErrorCode : int {
  InternalError = 1,
  PartialFailure = 2,
  NetworkUnavailable = 3,
  NetworkFailure = 4,
  BadContainer = 5,
  ServiceUnavailable = 6,
  RequestRateLimited = 7,
  NotAuthenticated = 9,
  PermissionFailure = 10,
  UnknownItem = 11,
  InvalidArguments = 12,
  ServerRecordChanged = 14,
  ServerRejectedRequest = 15,
  OperationCancelled = 20,
  ZoneBusy = 23,
  BadDatabase = 24,
  QuotaExceeded = 25,
  ZoneNotFound = 26,
};

// A failed cloud call. Backends fill it in once; everything above the backend
// passes it along unchanged (the record store hands it to its delegate as is).
struct CloudError {
  CloudErrorCode code = CloudErrorCode::InternalError;
  std::string message;
  // Set when the service asked the caller to wait before trying again.
  std::optional<std::chrono::seconds> retryAfter;

  friend bool operator==(const CloudError&, const CloudError&) = default;
};

}  // namespace nuv
