#pragma once

#include <string>
#include <string_view>

#include "platform/Process.h"

namespace nuv {

// Puts what the probe tool wrote to its standard error in the module's log
// without repeating it at every run: a text is a warning the first time it
// comes, and again only after a run that wrote nothing or something else; the
// same text from the runs in between goes at debug level. Texts that differ
// only in their digits (pids, times, counters) count as the same text, so a
// probe that stamps its messages does not warn every 5 s.
// Loop thread only.
class ProbeErrorLog {
 public:
  // A probe run has ended, having written `errors` to its standard error.
  void runEnded(const ErrorOutput& errors);

  // `bytes` as one log line: trailing line breaks dropped; other line breaks,
  // control characters and bytes that are not UTF-8 escaped (\n, \r, \xNN).
  static std::string printable(std::string_view bytes);

 private:
  // The last run's text with its digits masked; empty after a run without one.
  std::string lastKind_;
};

}  // namespace nuv
