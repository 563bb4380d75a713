#pragma once

#include <cstddef>
#include <string_view>

namespace nuv {

// Strict UTF-8, the one check every reader and sanitiser of outside text uses:
// no overlong forms, no surrogates, nothing above U+10FFFF.

// Length of the well-formed sequence at the start of `s` (1 for ASCII), or 0
// when there is none: empty, a stray continuation byte, an overlong form, a
// surrogate, beyond U+10FFFF, or cut short.
inline std::size_t utf8SequenceLength(std::string_view s) {
  if (s.empty()) return 0;
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = b(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) lo = 0xA0;  // overlong
    if (lead == 0xED) hi = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) lo = 0x90;  // overlong
    if (lead == 0xF4) hi = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < length || b(1) < lo || b(1) > hi) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (b(i) < 0x80 || b(i) > 0xBF) return 0;
  }
  return length;
}

inline bool isValidUtf8(std::string_view s) {
  while (!s.empty()) {
    const std::size_t n = utf8SequenceLength(s);
    if (n == 0) return false;
    s.remove_prefix(n);
  }
  return true;
}

}  // namespace nuv
