#include <cstdio>

#include "Commands.h"

namespace nuvctl {

int runRecords(const Args&) {
  std::fputs("nuvctl records: not available in this build\n", stderr);
  return 1;
}

}  // namespace nuvctl
