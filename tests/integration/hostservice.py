"""A stand-in for the module's host service, for host-side tests (the devices
window) that must not depend on the probe's 5-second rhythm.

Run as its own process on the bus that DBUS_SESSION_BUS_ADDRESS names:

    hostservice.py [DEVICES_JSON]

It owns vemo.Tallyport.NUVModule and exports /vemo/Tallyport/NUVModule with
the interface vemo.Tallyport.NUVModule1 as the module does: the read-only
property Devices (a{sa{sv}}: per device its pairs as strings, "timestamp" as
an int64 of microseconds since the epoch), the property Version and the
method Refresh(). Every new map goes out as the "iOSStack" notification and
as PropertiesChanged, in that order, as one burst.

Standard input takes one JSON object per line, and answers "sent" once what
it asked for is on the bus:
    {"devices": {"<Bonjour>": {"name": "...", ..., "timestamp": <µs>}}}
        replaces the map and announces it
    {"burst": [map, map, ...]}
        announces each map in turn, as fast as the bus takes them
    {"raw": "<GVariant text>"}
        announces a Devices value of any type (the map itself stays), as a
        faulty or hostile owner of the name would
Standard output reports "ready" once the name is owned, "refresh" for each
Refresh() call and "kill" when the kill notification arrives, after which it
releases the name and exits 0, as the module does. End of input: exits 0.
"""

import json
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

NAME = "vemo.Tallyport.NUVModule"
PATH = "/vemo/Tallyport/NUVModule"
INTERFACE = "vemo.Tallyport.NUVModule1"
NOTIFY_PATH = "/vemo/DistributedNotifications"
NOTIFY_INTERFACE = "vemo.DistributedNotifications"

XML = """
<node>
  <interface name="%s">
    <property name="Devices" type="a{sa{sv}}" access="read"/>
    <property name="Version" type="s" access="read"/>
    <method name="Refresh"/>
  </interface>
</node>""" % INTERFACE


def entry_variant(fields):
    return {k: GLib.Variant("x" if k == "timestamp" else "s", v) for k, v in fields.items()}


class StandIn:
    def __init__(self, devices):
        self.devices = devices
        self.loop = GLib.MainLoop()
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        info = Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0]
        self.bus.register_object(PATH, info, self.on_call, self.on_get, None)
        self.bus.signal_subscribe(None, NOTIFY_INTERFACE, "Notification", NOTIFY_PATH,
                                  "vemo.Tallyport.kill", Gio.DBusSignalFlags.NONE, self.on_kill)
        self.owner = Gio.bus_own_name_on_connection(
            self.bus, NAME, Gio.BusNameOwnerFlags.DO_NOT_QUEUE, self.on_owned, self.on_lost)
        GLib.io_add_watch(GLib.IOChannel.unix_new(0), GLib.PRIORITY_DEFAULT,
                          GLib.IOCondition.IN | GLib.IOCondition.HUP, self.on_input)

    def devices_variant(self):
        return GLib.Variant("a{sa{sv}}", {k: entry_variant(v) for k, v in self.devices.items()})

    def on_call(self, conn, _sender, _path, _iface, method, _params, invocation):
        if method == "Refresh":
            say("refresh")
            invocation.return_value(None)

    def on_get(self, _conn, _sender, _path, _iface, prop):
        return self.devices_variant() if prop == "Devices" else GLib.Variant("s", "stand-in")

    def announce(self, value=None):
        value = value or self.devices_variant()
        stack = {k: GLib.Variant("a{sv}", entry_variant(v)) for k, v in self.devices.items()}
        self.bus.emit_signal(None, NOTIFY_PATH, NOTIFY_INTERFACE, "Notification",
                             GLib.Variant("(ssa{sv})", ("iOSStack", "", stack)))
        changed = GLib.Variant("(sa{sv}as)", (INTERFACE, {"Devices": value}, []))
        self.bus.emit_signal(None, PATH, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                             changed)
        self.bus.flush_sync(None)

    def on_input(self, channel, _condition):
        line = sys.stdin.readline()
        if not line:
            self.loop.quit()
            return False
        request = json.loads(line)
        if "raw" in request:
            self.announce(GLib.Variant.parse(None, request["raw"], None, None))
        for devices in request.get("burst", []) + [request.get("devices")]:
            if devices is not None:
                self.devices = devices
                self.announce()
        say("sent")
        return True

    def on_kill(self, *_):
        say("kill")
        Gio.bus_unown_name(self.owner)
        self.bus.flush_sync(None)
        self.loop.quit()

    def on_owned(self, *_):
        say("ready")

    def on_lost(self, *_):
        say("lost")
        self.loop.quit()


def say(word):
    print(word, flush=True)


def main():
    StandIn(json.loads(sys.argv[1]) if len(sys.argv) > 1 else {}).loop.run()


if __name__ == "__main__":
    main()
