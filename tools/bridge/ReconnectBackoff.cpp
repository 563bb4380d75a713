#include "ReconnectBackoff.h"

#include <algorithm>

namespace nuvbridge {

ReconnectBackoff::ReconnectBackoff(nuv::RunLoop& loop, nuv::Closure attempt)
    : loop_(loop), attempt_(std::move(attempt)) {}

void ReconnectBackoff::failed(bool refused) {
  delay_ = refused ? kLongest : (delay_.count() == 0 ? kFirst : std::min(delay_ * 2, kLongest));
  cancel();
  timer_ = loop_.scheduleTimer(delay_, [this] {
    timer_.reset();
    attempt_();
  });
}

void ReconnectBackoff::cancel() {
  if (timer_) timer_->invalidate();
  timer_.reset();
}

}  // namespace nuvbridge
