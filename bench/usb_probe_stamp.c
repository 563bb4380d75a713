/* A probe stand-in that records when it started: appends its CLOCK_MONOTONIC
 * start time in nanoseconds to the file named by NUV_STAMP_FILE, prints
 * nothing and exits. Plain C, so that loading it costs as little as possible. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const char* path = getenv("NUV_STAMP_FILE");
  if (!path) return 0;
  FILE* f = fopen(path, "a");
  if (f) {
    fprintf(f, "%lld\n", (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec);
    fclose(f);
  }
  return 0;
}
