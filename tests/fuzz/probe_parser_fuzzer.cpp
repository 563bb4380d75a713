// The probe's output is whatever an external program printed.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/ProbeOutputParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto pairs = nuv::parseProbeOutput(bytes);
  if (!pairs.empty() && !nuv::isValidUtf8(bytes)) __builtin_trap();
  for (const auto& [k, v] : pairs) {
    if (k.find('\n') != std::string::npos || k.find('\t') != std::string::npos ||
        v.find('\n') != std::string::npos || v.find('\t') != std::string::npos) {
      __builtin_trap();
    }
  }
  return 0;
}
