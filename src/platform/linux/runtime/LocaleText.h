#pragma once

#include <string>

#include "platform/Date.h"

namespace nuv::linux_backend {

// Texts for people, made from translated formats in the user's locale: a
// printf format's numbers as the locale writes them (%'d groups the digits),
// times in the form the translation gives. Never for what programs read.
class LocaleText {
 public:
  // printf into a string, whose arguments the compiler checks against the
  // untranslated format.
  [[gnu::format(printf, 1, 2)]] static std::string format(const char* format, ...);
  // A moment in UTC to the second, as the tables show it:
  // "2026-12-06T18:30:12Z" in English.
  static std::string utcTime(nuv::Date date);
  // Its calendar day in UTC: "2026-12-06" in English.
  static std::string utcDay(nuv::Date date);
};

}  // namespace nuv::linux_backend
