#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nuv::linux_backend {

// The files of a signed-in shared cloud in one directory: the web auth token
// (mode 0600, replaced atomically and durably), the state `nuvctl cloud
// status` shows, and a lock that makes every process send its requests one at
// a time (the token rotates with each response, so two requests in flight
// would spend the same token).
//
// Thread-safe as far as the files are concerned; callers that read, send and
// write back a token hold a Lock around the whole exchange.
class CloudKitTokenStore {
 public:
  // What the last request found, kept for `nuvctl cloud status`.
  struct State {
    std::string lastError;      // "" after a success
    std::string lastErrorTime;  // UTC, ISO 8601
    std::string lastSuccessTime;
    std::string signInURL;  // from the last AUTHENTICATION_REQUIRED answer
  };

  // An exclusive advisory lock on the directory's lock file, held until
  // destroyed. Blocks until it is free. Files that cannot be opened leave the
  // lock unheld (isHeld false); requests then still run one at a time within
  // this process.
  class Lock {
   public:
    explicit Lock(const std::string& lockPath);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    bool isHeld() const { return fd_ >= 0; }

   private:
    int fd_ = -1;
  };

  CloudKitTokenStore(std::string tokenPath, std::string statePath, std::string lockPath);

  const std::string& tokenPath() const { return tokenPath_; }
  const std::string& lockPath() const { return lockPath_; }

  // The stored token; absent when there is none (or it is empty).
  std::optional<std::string> readToken() const;
  // Replaces the token: a new 0600 file written, flushed to disk and renamed
  // over the old one, then the directory flushed, so that a crash leaves
  // either the old or the new token, never a torn one. Creates the directory
  // (0700) when missing. Returns false on failure with the reason in `error`.
  bool writeToken(const std::string& token, std::string* error = nullptr) const;
  // Removes the token; true when none is left.
  bool removeToken() const;

  State readState() const;
  void writeState(const State& state) const;

  // The web auth token in what the user pastes after signing in: a callback
  // URL (or part of one) carrying ckWebAuthToken=... or ckSession=...
  // (percent-decoded), or the bare token. Absent when there is none or it
  // holds whitespace or control characters.
  static std::optional<std::string> tokenFromCallback(std::string_view text);

 private:
  std::string tokenPath_;
  std::string statePath_;
  std::string lockPath_;
};

}  // namespace nuv::linux_backend
