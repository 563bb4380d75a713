#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string_view>

namespace nuv {

// Reads a decimal integer the way stored and passed-on text is read back:
// leading ASCII whitespace skipped, an optional sign, decimal digits up to the
// first other character. Saturates at the 32-bit limits; 0 when no digits.
inline std::int32_t saturatedInt32(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  // Accumulated as a magnitude that stops growing past the 32-bit range.
  constexpr std::int64_t kCap = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    magnitude = std::min(kCap, magnitude * 10 + (s[i] - '0'));
  }
  if (negative) return static_cast<std::int32_t>(-magnitude);
  return static_cast<std::int32_t>(std::min(magnitude, kCap - 1));
}

}  // namespace nuv
