#pragma once

#include "platform/RunLoop.h"

namespace nuvbridge {

// When to try a broker again: 1 s after the first failure, then twice as long
// after each further one, up to 60 s; a broker that refused the credentials
// is asked again only at the long end. A connection that was accepted starts
// the count afresh. One attempt is pending at a time. Loop thread only.
class ReconnectBackoff {
 public:
  static constexpr nuv::Milliseconds kFirst{1000};
  static constexpr nuv::Milliseconds kLongest{60000};

  ReconnectBackoff(nuv::RunLoop& loop, nuv::Closure attempt);
  ~ReconnectBackoff() { cancel(); }
  ReconnectBackoff(const ReconnectBackoff&) = delete;
  ReconnectBackoff& operator=(const ReconnectBackoff&) = delete;

  // An attempt failed or the connection went: schedules the next attempt.
  void failed(bool refused = false);
  void succeeded() { delay_ = nuv::Milliseconds{0}; }
  void cancel();

 private:
  nuv::RunLoop& loop_;
  nuv::Closure attempt_;
  nuv::TimerRef timer_;
  nuv::Milliseconds delay_{0};  // of the last scheduled attempt; 0 after a success
};

}  // namespace nuvbridge
