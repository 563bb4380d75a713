/* A host application's property read: Properties.Get(vemo.Tallyport.NUVModule1,
 * PROPERTY) on NAME, synchronously, READS times after 50 untimed ones, with
 * one of two client libraries:
 *   gdbus    GDBus, as nuvctl and the devices window do: the reply parsed
 *            into a GVariant;
 *   libdbus  libdbus, the lightest common client: the reply checked by
 *            libdbus and every value in it read through its iterators.
 * Prints each round trip in microseconds (call to parsed reply), one per
 * line, then "cpu <microseconds>": the CPU time this process used for the
 * timed reads.
 *
 *     host_read gdbus|libdbus NAME PROPERTY READS */
#include <dbus/dbus.h>
#include <gio/gio.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

static long long cpu_us(void) {
  struct rusage r;
  getrusage(RUSAGE_SELF, &r);
  return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000LL + r.ru_utime.tv_usec +
         r.ru_stime.tv_usec;
}

/* Reads every value under `it`, as a host that uses the map would; returns
 * the number of basic values. */
static long walk(DBusMessageIter* it) {
  long n = 0;
  do {
    const int type = dbus_message_iter_get_arg_type(it);
    if (type == DBUS_TYPE_INVALID) break;
    if (dbus_type_is_container(type)) {
      DBusMessageIter sub;
      dbus_message_iter_recurse(it, &sub);
      n += walk(&sub);
    } else {
      DBusBasicValue value;
      dbus_message_iter_get_basic(it, &value);
      n++;
    }
  } while (dbus_message_iter_next(it));
  return n;
}

static int gdbus_reads(const char* name, const char* property, int reads) {
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

static int libdbus_reads(const char* name, const char* property, int reads) {
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* bus = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
  if (!bus) {
    fprintf(stderr, "%s\n", error.message);
    return 1;
  }
  const char* interface = "vemo.Tallyport.NUVModule1";
  long long cpu = 0;
  for (int i = -50; i < reads; i++) {
    if (i == 0) cpu = cpu_us();
    const gint64 start = g_get_monotonic_time();
    DBusMessage* get = dbus_message_new_method_call(name, "/vemo/Tallyport/NUVModule",
                                                    DBUS_INTERFACE_PROPERTIES, "Get");
    dbus_message_set_auto_start(get, FALSE);
    dbus_message_append_args(get, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &property,
                             DBUS_TYPE_INVALID);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, get, 5000, &error);
    dbus_message_unref(get);
    if (!reply) {
      fprintf(stderr, "%s\n", error.message);
      return 1;
    }
    DBusMessageIter it;
    if (!dbus_message_has_signature(reply, "v") || !dbus_message_iter_init(reply, &it) ||
        walk(&it) < 1) {
      fprintf(stderr, "unexpected reply\n");
      return 1;
    }
    const gint64 elapsed = g_get_monotonic_time() - start;
    dbus_message_unref(reply);
    if (i >= 0) printf("%lld\n", (long long)elapsed);
  }
  printf("cpu %lld\n", cpu_us() - cpu);
  dbus_connection_close(bus);
  dbus_connection_unref(bus);
  return 0;
}

int main(int argc, char** argv) {
  const int gdbus = argc == 5 && strcmp(argv[1], "gdbus") == 0;
  if (argc != 5 || (!gdbus && strcmp(argv[1], "libdbus") != 0)) {
    fprintf(stderr, "usage: %s gdbus|libdbus NAME PROPERTY READS\n", argv[0]);
    return 2;
  }
  return gdbus ? gdbus_reads(argv[2], argv[3], atoi(argv[4]))
               : libdbus_reads(argv[2], argv[3], atoi(argv[4]));
}
