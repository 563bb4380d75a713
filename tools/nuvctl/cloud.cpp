#include <cstdio>

#include "Commands.h"

namespace nuvctl {

int runCloud(const Args&) {
  std::fputs("nuvctl cloud: not available in this build\n", stderr);
  return 1;
}

}  // namespace nuvctl
