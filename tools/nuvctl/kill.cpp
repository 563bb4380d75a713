#include <cstdio>

#include "Commands.h"

namespace nuvctl {

int runKill(const Args&) {
  std::fputs("nuvctl kill: not available in this build\n", stderr);
  return 1;
}

}  // namespace nuvctl
