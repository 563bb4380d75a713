#include "app/ProbeOutputParser.h"

namespace nuv {

bool isValidUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra;
    char32_t cp;
    if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += extra + 1;
  }
  return true;
}

ProbeOutput parseProbeOutput(std::string_view bytes) {
  ProbeOutput out;
  if (bytes.empty() || !isValidUtf8(bytes)) return out;
  std::size_t start = 0;
  while (start <= bytes.size()) {
    std::size_t lf = bytes.find('\n', start);
    if (lf == std::string_view::npos) lf = bytes.size();
    const std::string_view line = bytes.substr(start, lf - start);
    const std::size_t tab = line.find('\t');
    if (tab != std::string_view::npos && line.find('\t', tab + 1) == std::string_view::npos) {
      out.insert_or_assign(std::string(line.substr(0, tab)), std::string(line.substr(tab + 1)));
    }
    start = lf + 1;
  }
  return out;
}

}  // namespace nuv
