#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/cloud/CloudError.h"
#include "platform/linux/cloudkit/CloudKitConfig.h"
#include "platform/linux/cloudkit/CloudKitTokenStore.h"

typedef void CURL;

namespace nuv::linux_backend {

// Sends CloudKit Web Services requests for one container's private database.
//
// Each request is a POST of a JSON body to
// {endpoint}/database/1/{container}/{environment}/private/{operation} carrying
// the API token and the current web auth token. The token store's lock is held
// from reading the token until the rotated token from the answer is stored,
// so requests of every process run one at a time and an older token is never
// sent again. Nothing is retried; every request has a connect and a total
// timeout; redirects are not followed; certificates are always verified.
//
// An answer of AUTHENTICATION_REQUIRED to a request that carried a token
// removes that token (it is spent or expired): the user is then cleanly
// signed out until `nuvctl cloud login` stores a new one.
//
// Neither token ever appears in an error message, the state file or the log.
//
// Thread-safe: concurrent calls wait for one another.
class CloudKitClient {
 public:
  struct Response {
    long httpStatus = 0;
    nlohmann::json body;  // the parsed answer (null when there was none)
    // Set when the request failed as a whole: transport failure, a top-level
    // server error, or an answer that is not a JSON object.
    std::optional<CloudError> error;
    std::string serverErrorCode;  // of a top-level server error
    std::string redirectURL;      // of an AUTHENTICATION_REQUIRED answer
  };

  CloudKitClient(CloudKitConfig config, std::string containerIdentifier);
  ~CloudKitClient();
  CloudKitClient(const CloudKitClient&) = delete;
  CloudKitClient& operator=(const CloudKitClient&) = delete;

  Response post(const std::string& operation, const nlohmann::json& body);

  // Remembers the outcome of an operation for `nuvctl cloud status`: an error
  // as the last error, or a success. Failures inside an HTTP 200 answer come
  // here from the caller; post() records its own.
  void recordOutcome(const std::optional<CloudError>& error);

  // Any thread: the request in progress and every later one fail with
  // OperationCancelled. For shutdown.
  void interrupt();

  const CloudKitConfig& config() const { return config_; }
  const CloudKitTokenStore& tokenStore() const { return tokens_; }
  const std::string& containerIdentifier() const { return container_; }

  // The error of a server error dictionary ({serverErrorCode, reason,
  // retryAfter?}): the message is "<serverErrorCode>: <reason>" with both
  // parts as the server sent them.
  static CloudError errorFromServer(const nlohmann::json& dictionary);
  static CloudErrorCode codeForServerError(std::string_view serverErrorCode);
  // Percent-encodes everything but unreserved characters.
  static std::string urlEncode(std::string_view text);

 private:
  std::string redacted(std::string text, const std::optional<std::string>& token) const;

  const CloudKitConfig config_;
  const std::string container_;
  const CloudKitTokenStore tokens_;
  std::atomic<bool> interrupted_{false};
  std::mutex mutex_;  // one request at a time; guards curl_ and the state file
  struct CurlFree {
    void operator()(CURL* c) const;
  };
  std::unique_ptr<CURL, CurlFree> curl_;
};

}  // namespace nuv::linux_backend
