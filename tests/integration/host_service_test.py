"""The host service (vemo.Tallyport.NUVModule1) of the real module on a private
bus: Devices against the broadcasts, PropertiesChanged, Refresh(), reads
during a run, nuvctl status / watch / refresh / kill and the name held by
another process. The service's own contract (error names, signal order, the
exported interface against the installed XML, GetAll) is its unit test's."""

import json
import time
import unittest

import nuvtest  # noqa: I100 (selects the GI versions first)
from gi.repository import GLib
from nuvtest import (DEVICE, HOST_INTERFACE, HOST_NAME, HOST_PATH, NUVCTL, SLACK, Listener,
                     ModuleTestCase, Watch, wait_until)


def nuvctl(bus, *args):
    return nuvtest.run([NUVCTL, *args], bus.env())


class HostServiceTest(ModuleTestCase):
    def setUp(self):
        super().setUp()
        self.changes = Listener(self.bus, HOST_INTERFACE, "org.freedesktop.DBus.Properties",
                                "PropertiesChanged", HOST_PATH)
        self.addCleanup(self.changes.close)

    def refresh_and_wait_for_start(self, b):
        """`nuvctl refresh`; returns the seconds from the call to the probe's start."""
        n = len(b.starts())
        called = time.time()
        self.assertEqual(nuvctl(self.bus, "refresh").returncode, 0)
        self.assertTrue(wait_until(lambda: len(b.starts()) > n, 5), "no run after Refresh()")
        return float(b.starts()[n][1]) - called

    def next_change(self, m):
        body = self.changes.next(5 + SLACK)
        self.assertIsNotNone(body, "no PropertiesChanged\n" + m.log())
        # Its whole shape is GDBusHostService_test's.
        return body.get_child_value(1).lookup_value("Devices", GLib.VariantType("a{sa{sv}}"))

    def assert_same_map(self, devices, body):
        """`devices` (a{sa{sv}}) carries exactly the broadcast's entries, byte for byte."""
        def entries(d):
            return {k: d.lookup_value(k, GLib.VariantType("a{sv}")).get_data_as_bytes().get_data()
                    for k in d.keys()}
        self.assertEqual(entries(devices), entries(body.get_child_value(2)))

    def test_devices_and_nuvctl_follow_the_broadcasts_until_the_kill(self):
        watch = Watch(self.bus, "--json")
        self.addCleanup(watch.stop)
        b = self.bundle(output=DEVICE)
        m = self.start(b)
        self.assertTrue(wait_until(self.host.owner, 5 + SLACK), m.log())
        self.assertEqual(self.host.devices().unpack(), {})
        self.assertRegex(self.host.get("Version").get_string(), r"^\d+\.\d+\.\d+$")
        # A module that appears later is read as soon as it owns its name.
        line = watch.out.next(2)
        self.assertIsNotNone(line, m.log())
        self.assertEqual(json.loads(line)["devices"], {})

        self.assertLess(self.refresh_and_wait_for_start(b), 1.0)  # not the 5 s timer
        body = self.broadcast(m)
        self.assert_same_map(self.next_change(m), body)
        self.assert_same_map(self.host.devices(), body)
        self.assertEqual(json.loads(watch.out.next(2))["devices"]["abc"]["Battery"], "85")
        status = nuvctl(self.bus, "status", "--json")
        self.assertEqual(status.returncode, 0, status.stderr)
        device = json.loads(status.stdout)["devices"]["abc"]
        self.assertEqual((device["name"], device["Host Attached"]), ("My Phone", "1"))
        self.assertIn("timestamp", device)
        # The table's layout is WatchView_test's.
        self.assertRegex(nuvctl(self.bus, "status").stdout, r"My Phone +\[#+ *\]  85%  yes +yes")

        # Unchanged, found by a run of 1 s during which Refresh() and reads are
        # answered at once: no broadcast and no signal; the read drops
        # "timestamp" at once. (One run per request burst, never overlapping,
        # is AppDelegate_test's RefreshStartsOneRunOnTheNextIteration...)
        b.set_hook("before", "sleep 1")
        self.refresh_and_wait_for_start(b)
        for _ in range(10):
            began = time.monotonic()
            self.host.refresh()
            self.host.devices()
            self.assertLess(time.monotonic() - began, 0.5)
        b.set_hook("before", None)
        self.assertIsNone(self.listener.next(1.0 + SLACK))
        self.assertIsNone(self.changes.next(0.2))
        self.assertNotIn("timestamp", self.host.devices().unpack()["abc"])

        # A second device and a change: one signal per broadcast, same maps.
        for output in (DEVICE.replace("abc", "def"), DEVICE.replace("85", "84")):
            b.set_output(output)
            self.refresh_and_wait_for_start(b)
            self.assert_same_map(self.next_change(m), self.broadcast(m))
        self.assertEqual(sorted(self.host.devices().unpack()), ["abc", "def"])
        self.assertEqual(self.host.devices().unpack()["abc"]["Battery"], "84")
        self.assertIsNone(self.changes.next(0.2))
        # A watch started now shows the current map at once.
        late = Watch(self.bus, "--json")
        self.addCleanup(late.stop)
        self.assertEqual(json.loads(late.out.next(1))["devices"]["abc"]["Battery"], "84")

        done = nuvctl(self.bus, "kill")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIsNone(self.host.owner())  # kill returns once the name is released
        self.assertEqual(m.wait(5), 0, m.log())
        self.assertIsNone(watch.proc.poll())  # watching goes on without a module
        for command in ("status", "refresh", "kill"):
            done = nuvctl(self.bus, command)
            self.assertEqual((done.returncode, done.stdout), (1, ""), command)
            self.assertEqual(done.stderr, "nuvctl %s: no module is running\n" % command)

    def test_kill_gives_up_after_five_seconds_on_a_name_that_stays(self):
        squatter = nuvtest.connect(self.bus.address)  # holds the name, ignores the kill
        self.addCleanup(lambda: squatter.is_closed() or squatter.close_sync(None))
        nuvtest.call_bus(squatter, "RequestName", GLib.Variant("(su)", (HOST_NAME, 0)))
        started = time.monotonic()
        done = nuvctl(self.bus, "kill")
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr, "nuvctl kill: the module still holds its bus name after 5 s\n")
        self.assertGreater(time.monotonic() - started, 4.9)


if __name__ == "__main__":
    unittest.main()
