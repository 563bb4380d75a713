#include "platform/linux/cloudkit/CloudKitClient.h"

#include <curl/curl.h>

#include <cctype>
#include <chrono>
#include <cstdint>

#include "platform/Log.h"
#include "platform/linux/runtime/IsoDate.h"

namespace nuv::linux_backend {
namespace {

constexpr std::string_view kTokenHeader = "x-apple-cloudkit-web-auth-token:";

void initCurlOnce() {
  static const bool done = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }();
  (void)done;
}

struct Exchange {
  std::string body;
  std::string rotatedToken;
  const std::atomic<bool>* interrupted = nullptr;
};

// Answers larger than this are refused rather than buffered without bound.
constexpr std::size_t kMaxAnswerBytes = 64 * 1024 * 1024;

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* exchange = static_cast<Exchange*>(user);
  const size_t n = size * count;
  if (exchange->body.size() + n > kMaxAnswerBytes) return 0;
  exchange->body.append(data, n);
  return n;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto* exchange = static_cast<Exchange*>(user);
  const size_t n = size * count;
  std::string_view line(data, n);
  if (line.size() > kTokenHeader.size()) {
    bool match = true;
    for (size_t i = 0; i < kTokenHeader.size() && match; ++i) {
      match = std::tolower(static_cast<unsigned char>(line[i])) == kTokenHeader[i];
    }
    if (match) {
      std::string_view value = line.substr(kTokenHeader.size());
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
        value.remove_prefix(1);
      }
      while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) {
        value.remove_suffix(1);
      }
      exchange->rotatedToken = std::string(value);
    }
  }
  return n;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* exchange = static_cast<Exchange*>(user);
  return exchange->interrupted->load() ? 1 : 0;
}

CloudError transportError(CURLcode code) {
  CloudErrorCode kind = CloudErrorCode::NetworkFailure;
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
      kind = CloudErrorCode::NetworkUnavailable;
      break;
    case CURLE_ABORTED_BY_CALLBACK:
      kind = CloudErrorCode::OperationCancelled;
      break;
    default:
      break;
  }
  return CloudError{kind, std::string("CloudKit request failed: ") + curl_easy_strerror(code),
                    std::nullopt};
}

void replaceAll(std::string& text, const std::string& secret) {
  if (secret.size() < 4) return;
  for (auto pos = text.find(secret); pos != std::string::npos; pos = text.find(secret, pos)) {
    text.replace(pos, secret.size(), "<redacted>");
  }
}

}  // namespace

void CloudKitClient::CurlFree::operator()(CURL* c) const { curl_easy_cleanup(c); }

CloudKitClient::CloudKitClient(CloudKitConfig config, std::string containerIdentifier)
    : config_(std::move(config)),
      container_(std::move(containerIdentifier)),
      tokens_(config_.tokenPath(), config_.statePath(), config_.lockPath()) {
  initCurlOnce();
}

CloudKitClient::~CloudKitClient() = default;

void CloudKitClient::interrupt() { interrupted_ = true; }

std::string CloudKitClient::urlEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

CloudErrorCode CloudKitClient::codeForServerError(std::string_view code) {
  if (code == "ACCESS_DENIED") return CloudErrorCode::PermissionFailure;
  if (code == "AUTHENTICATION_FAILED" || code == "AUTHENTICATION_REQUIRED") {
    return CloudErrorCode::NotAuthenticated;
  }
  if (code == "BAD_REQUEST") return CloudErrorCode::InvalidArguments;
  if (code == "CONFLICT") return CloudErrorCode::ServerRecordChanged;
  if (code == "EXISTS") return CloudErrorCode::ServerRejectedRequest;
  if (code == "INTERNAL_ERROR") return CloudErrorCode::InternalError;
  if (code == "NOT_FOUND") return CloudErrorCode::UnknownItem;
  if (code == "QUOTA_EXCEEDED") return CloudErrorCode::QuotaExceeded;
  if (code == "THROTTLED") return CloudErrorCode::RequestRateLimited;
  if (code == "TRY_AGAIN_LATER") return CloudErrorCode::ServiceUnavailable;
  if (code == "ZONE_NOT_FOUND") return CloudErrorCode::ZoneNotFound;
  if (code == "ZONE_BUSY") return CloudErrorCode::ZoneBusy;
  return CloudErrorCode::ServerRejectedRequest;
}

CloudError CloudKitClient::errorFromServer(const nlohmann::json& dictionary) {
  std::string code;
  std::string reason;
  if (dictionary.is_object()) {
    if (auto it = dictionary.find("serverErrorCode"); it != dictionary.end() && it->is_string()) {
      code = it->get<std::string>();
    }
    if (auto it = dictionary.find("reason"); it != dictionary.end() && it->is_string()) {
      reason = it->get<std::string>();
    }
  }
  CloudError error{codeForServerError(code), code + ": " + reason, std::nullopt};
  if (dictionary.is_object()) {
    if (auto it = dictionary.find("retryAfter"); it != dictionary.end() && it->is_number()) {
      const double seconds = it->get<double>();
      if (seconds >= 0 && seconds < 1e9) {
        error.retryAfter = std::chrono::seconds(static_cast<std::int64_t>(seconds + 0.999));
      }
    }
  }
  return error;
}

std::string CloudKitClient::redacted(std::string text,
                                     const std::optional<std::string>& token) const {
  replaceAll(text, config_.apiToken);
  replaceAll(text, urlEncode(config_.apiToken));
  if (token) {
    replaceAll(text, *token);
    replaceAll(text, urlEncode(*token));
  }
  return text;
}

void CloudKitClient::recordOutcome(const std::optional<CloudError>& error) {
  std::lock_guard lock(mutex_);
  auto state = tokens_.readState();
  if (error) {
    state.lastError = redacted(error->message, tokens_.readToken());
    state.lastErrorTime = IsoDate::now();
  } else {
    // Written only when something changes: the state is not worth a disk
    // write per request.
    if (state.lastError.empty() && state.signInURL.empty()) return;
    state.lastError.clear();
    state.lastErrorTime.clear();
    state.signInURL.clear();
    state.lastSuccessTime = IsoDate::now();
  }
  tokens_.writeState(state);
}

CloudKitClient::Response CloudKitClient::post(const std::string& operation,
                                              const nlohmann::json& body) {
  Response response;
  if (interrupted_) {
    response.error =
        CloudError{CloudErrorCode::OperationCancelled, "CloudKit: shutting down", std::nullopt};
    return response;
  }
  if (auto problem = config_.problem(); !problem.empty()) {
    response.error =
        CloudError{CloudErrorCode::BadContainer, "cloud.conf: " + problem, std::nullopt};
    recordOutcome(response.error);
    return response;
  }
  const std::string payload = body.dump();
  std::optional<std::string> sentToken;
  std::string tokenFailure;
  {
    std::lock_guard lock(mutex_);
    CloudKitTokenStore::Lock fileLock(tokens_.lockPath());
    sentToken = tokens_.readToken();
    const std::optional<std::string> originalToken = sentToken;

    std::string url = config_.endpoint + "/database/1/" + urlEncode(container_) + "/" +
                      config_.environment + "/private/" + operation +
                      "?ckAPIToken=" + urlEncode(config_.apiToken);
    if (sentToken) url += "&ckWebAuthToken=" + urlEncode(*sentToken);

    if (!curl_) curl_.reset(curl_easy_init());
    CURL* curl = curl_.get();
    if (!curl) {
      response.error =
          CloudError{CloudErrorCode::InternalError, "CloudKit: no HTTP client", std::nullopt};
      return response;
    }
    curl_easy_reset(curl);
    Exchange exchange;
    exchange.interrupted = &interrupted_;
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, payload.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &exchange);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &exchange);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &exchange);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, config_.connectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, config_.timeoutMs);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    // The environment's proxy settings must not see the tokens in the URL
    // of a loopback request.
    if (CloudKitConfig::isLoopbackEndpoint(config_.endpoint)) {
      curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    }
    const CURLcode code = curl_easy_perform(curl);
    curl_slist_free_all(headers);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.httpStatus);

    // Every answer may carry the next token; the one just sent is spent.
    if (!exchange.rotatedToken.empty() && exchange.rotatedToken != sentToken) {
      std::string error;
      if (!tokens_.writeToken(exchange.rotatedToken, &error)) {
        // The request itself went through and is reported as it went; the
        // next one will find the spent token and sign the user out cleanly.
        tokenFailure = "CloudKit: cannot store the new web auth token: " + error;
      }
      sentToken = exchange.rotatedToken;
    }

    if (code != CURLE_OK) {
      response.error = transportError(code);
    } else {
      response.body = nlohmann::json::parse(exchange.body, nullptr, false);
      if (response.body.is_discarded()) response.body = nullptr;
      const bool serverError =
          response.body.is_object() && response.body.contains("serverErrorCode");
      if (serverError) {
        response.error = errorFromServer(response.body);
        response.serverErrorCode = response.body.value("serverErrorCode", "");
        if (auto it = response.body.find("redirectURL");
            it != response.body.end() && it->is_string()) {
          response.redirectURL = it->get<std::string>();
        }
      } else if (response.httpStatus != 200) {
        // A gateway or an overloaded service answers 5xx without a body of
        // its own: worth another try, unlike other statuses.
        const bool unavailable = response.httpStatus >= 500 && response.httpStatus <= 599;
        response.error = CloudError{unavailable ? CloudErrorCode::ServiceUnavailable
                                                : CloudErrorCode::ServerRejectedRequest,
                                    "CloudKit answered HTTP " + std::to_string(response.httpStatus),
                                    std::nullopt};
      } else if (!response.body.is_object()) {
        response.error = CloudError{CloudErrorCode::InternalError,
                                    "CloudKit answer is not a JSON object", std::nullopt};
      }
      // The token is spent or expired (a refused API token, AUTHENTICATION_FAILED,
      // says nothing about it). Only the token this request carried goes.
      if (response.serverErrorCode == "AUTHENTICATION_REQUIRED" && sentToken &&
          tokens_.readToken() == sentToken) {
        tokens_.removeToken();
      }
    }
    if (response.error) {
      response.error->message = redacted(response.error->message, originalToken);
      response.error->message = redacted(response.error->message, sentToken);
    }
  }
  if (!tokenFailure.empty()) {
    log::error(tokenFailure);
    recordOutcome(CloudError{CloudErrorCode::InternalError, tokenFailure, std::nullopt});
    if (!response.error) return response;
  }
  if (response.error) {
    auto state = tokens_.readState();
    if (!response.redirectURL.empty()) {
      std::lock_guard lock(mutex_);
      state.signInURL = response.redirectURL;
      state.lastError = response.error->message;
      state.lastErrorTime = IsoDate::now();
      tokens_.writeState(state);
    } else {
      recordOutcome(response.error);
    }
  } else {
    recordOutcome(std::nullopt);
  }
  return response;
}

}  // namespace nuv::linux_backend
