/* The cheapest server a Devices read can have, for bench/host_service.py to
 * compare the module with: libdbus, one thread, and a reply that is marshalled
 * once and copied for every Properties.Get (only the reply serial and the
 * destination change). The reply is the module's own: at start it reads
 * Devices from SOURCE once and keeps the reply message.
 *
 *     host_floor_server SOURCE NAME
 *
 * Owns NAME, answers every Properties.Get on any path with that reply, prints
 * "ready" once it owns the name, and ends when its bus connection closes. */
#include <dbus/dbus.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s SOURCE NAME\n", argv[0]);
    return 2;
  }
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* bus = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
  if (!bus) {
    fprintf(stderr, "%s\n", error.message);
    return 1;
  }
  DBusMessage* get = dbus_message_new_method_call(argv[1], "/vemo/Tallyport/NUVModule",
                                                  DBUS_INTERFACE_PROPERTIES, "Get");
  const char* interface = "vemo.Tallyport.NUVModule1";
  const char* property = "Devices";
  dbus_message_append_args(get, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &property,
                           DBUS_TYPE_INVALID);
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, get, 5000, &error);
  dbus_message_unref(get);
  if (!reply) {
    fprintf(stderr, "reading Devices from %s: %s\n", argv[1], error.message);
    return 1;
  }
  if (dbus_bus_request_name(bus, argv[2], DBUS_NAME_FLAG_DO_NOT_QUEUE, &error) !=
      DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
    fprintf(stderr, "cannot own %s\n", argv[2]);
    return 1;
  }
  printf("ready\n");
  fflush(stdout);
  while (dbus_connection_read_write(bus, -1)) {
    DBusMessage* call;
    while ((call = dbus_connection_pop_message(bus))) {
      if (dbus_message_is_method_call(call, DBUS_INTERFACE_PROPERTIES, "Get")) {
        DBusMessage* answer = dbus_message_copy(reply);
        dbus_message_set_reply_serial(answer, dbus_message_get_serial(call));
        dbus_message_set_destination(answer, dbus_message_get_sender(call));
        dbus_connection_send(bus, answer, NULL);
        dbus_message_unref(answer);
      }
      dbus_message_unref(call);
    }
  }
  dbus_message_unref(reply);
  dbus_connection_close(bus);
  dbus_connection_unref(bus);
  return 0;
}
