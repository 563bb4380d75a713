#include "app/ProbeOutputParser.h"

namespace nuv {

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
