#include <cstdio>

#include "Commands.h"

namespace nuvctl {

int runWatch(const Args&) {
  std::fputs("nuvctl watch: not available in this build\n", stderr);
  return 1;
}

}  // namespace nuvctl
