#include "cloud/Backoff.h"

#include <algorithm>

namespace nuv {

Milliseconds Backoff::next(std::optional<std::chrono::seconds> retryAfter) {
  Milliseconds wait = kFirst;
  for (int i = 0; i < failures_ && wait < kMax; ++i) wait *= 2;
  wait = std::min(wait, kMax);
  ++failures_;
  if (retryAfter) wait = std::max<Milliseconds>(wait, *retryAfter);
  return wait;
}

}  // namespace nuv
