/* The instant probe of the poll-cycle benchmark: prints one device whose
 * battery level is a counter kept in $NUV_BENCH_DIR/count (so every run is a
 * change and is broadcast), then appends its CLOCK_REALTIME exit time in
 * nanoseconds to $NUV_BENCH_DIR/exits and the CPU time it used itself (from
 * its start as a child, so including exec and loading) to .../probe_cpu_ns. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

int main(void) {
  const char* dir = getenv("NUV_BENCH_DIR");
  if (!dir) return 1;
  char path[4096];
  long count = 0;
  snprintf(path, sizeof path, "%s/count", dir);
  FILE* f = fopen(path, "r");
  if (f) {
    if (fscanf(f, "%ld", &count) != 1) count = 0;
    fclose(f);
  }
  f = fopen(path, "w");
  if (f) {
    fprintf(f, "%ld\n", count + 1);
    fclose(f);
  }
  printf(
      "Bonjour\t00008030-0000BENCH0001\nname\tBench iPhone\nBattery\t%ld\nCharging\t1\n"
      "Host Attached\t1\n",
      count % 101);
  fflush(stdout);
  struct rusage self;
  getrusage(RUSAGE_SELF, &self);
  snprintf(path, sizeof path, "%s/probe_cpu_ns", dir);
  f = fopen(path, "a");
  if (f) {
    fprintf(f, "%lld\n",
            ((long long)self.ru_utime.tv_sec + self.ru_stime.tv_sec) * 1000000000LL +
                ((long long)self.ru_utime.tv_usec + self.ru_stime.tv_usec) * 1000LL);
    fclose(f);
  }
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  snprintf(path, sizeof path, "%s/exits", dir);
  f = fopen(path, "a");
  if (f) {
    fprintf(f, "%lld\n", (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec);
    fclose(f);
  }
  return 0;
}
