/* The instant probe of the poll-cycle benchmark: prints one device whose
 * battery level is a counter kept in $NUV_BENCH_DIR/count (so every run is a
 * change and is broadcast), then appends the CPU time it used itself (from its
 * start as a child, so including exec and loading) to .../probe_cpu_ns and its
 * CLOCK_REALTIME exit time in nanoseconds to .../exits. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

static void write_number(const char* dir, const char* name, const char* mode, long long value) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  FILE* f = fopen(path, mode);
  if (f) {
    fprintf(f, "%lld\n", value);
    fclose(f);
  }
}

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
  write_number(dir, "count", "w", count + 1);
  printf(
      "Bonjour\t00008030-0000BENCH0001\nname\tBench iPhone\nBattery\t%ld\nCharging\t1\n"
      "Host Attached\t1\n",
      count % 101);
  fflush(stdout);
  struct rusage self;
  getrusage(RUSAGE_SELF, &self);
  write_number(dir, "probe_cpu_ns", "a",
               ((long long)self.ru_utime.tv_sec + self.ru_stime.tv_sec) * 1000000000LL +
                   ((long long)self.ru_utime.tv_usec + self.ru_stime.tv_usec) * 1000LL);
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  write_number(dir, "exits", "a", (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec);
  return 0;
}
