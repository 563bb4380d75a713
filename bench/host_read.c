/* A host application's property read: Properties.Get(vemo.Tallyport.NUVModule1,
 * PROPERTY) on NAME over GDBus, as nuvctl and the devices window read it,
 * synchronously, READS times after 50 untimed ones; the reply parsed into a
 * GVariant. Prints each round trip in microseconds (call to parsed reply),
 * one per line, then "cpu <microseconds>": the CPU time this process used
 * for the timed reads.
 *
 *     host_read NAME PROPERTY READS */
#include <gio/gio.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>

static long long cpu_us(void) {
  struct rusage r;
  getrusage(RUSAGE_SELF, &r);
  return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000LL + r.ru_utime.tv_usec +
         r.ru_stime.tv_usec;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s NAME PROPERTY READS\n", argv[0]);
    return 2;
  }
  const char* name = argv[1];
  const char* property = argv[2];
  const int reads = atoi(argv[3]);
  GError* error = NULL;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, NULL, &error);
  if (!bus) {
    fprintf(stderr, "%s\n", error->message);
    return 1;
  }
  long long cpu = 0;
  for (int i = -50; i < reads; i++) {
    if (i == 0) cpu = cpu_us();
    const gint64 start = g_get_monotonic_time();
    GVariant* reply = g_dbus_connection_call_sync(
        bus, name, "/vemo/Tallyport/NUVModule", "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "vemo.Tallyport.NUVModule1", property), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, NULL, &error);
    const gint64 elapsed = g_get_monotonic_time() - start;
    if (!reply) {
      fprintf(stderr, "%s\n", error->message);
      return 1;
    }
    g_variant_unref(reply);
    if (i >= 0) printf("%lld\n", (long long)elapsed);
  }
  printf("cpu %lld\n", cpu_us() - cpu);
  g_object_unref(bus);
  return 0;
}
