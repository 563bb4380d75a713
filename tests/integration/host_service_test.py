"""The host service (vemo.Tallyport.NUVModule1) of the real module on a private
bus: Devices against the broadcasts, PropertiesChanged, Refresh(), reads
during a run, nuvctl status / watch / refresh / kill and the name held by
another process. The service's own contract (error names, signal order, the
exported interface against the installed XML, GetAll) is its unit test's."""

import json
import subprocess
import time
import unittest

import nuvtest  # noqa: I100 (selects the GI versions first)
from gi.repository import GLib
from nuvtest import (DEVICE, HOST_INTERFACE, HOST_NAME, HOST_PATH, NUVCTL, SLACK, Host, Listener,
                     ModuleTestCase, Watch, entry_bytes, wait_until)

def nuvctl(bus, *args, timeout=10):
    return subprocess.run([NUVCTL, *args], env=bus.env(), capture_output=True, text=True,
                          timeout=timeout)


class HostServiceTestCase(ModuleTestCase):
    def setUp(self):
        super().setUp()
        self.host = Host(self.bus)
        self.changes = Listener(self.bus, HOST_INTERFACE, "org.freedesktop.DBus.Properties",
                                "PropertiesChanged", HOST_PATH)

    def tearDown(self):
        self.changes.close()
        self.host.close()
        super().tearDown()

    def start_owner(self, bundle):
        """Starts a module and waits until it owns the name."""
        m = self.start(bundle)
        self.assertTrue(wait_until(self.host.owner, 5 + SLACK), m.log())
        return m

    def refresh_and_wait_for_start(self, b):
        """Calls Refresh(); returns the seconds from the call to the probe's start."""
        n = len(b.starts())
        called = time.time()
        self.host.refresh()
        self.assertTrue(wait_until(lambda: len(b.starts()) > n, 5), "no run after Refresh()")
        return float(b.starts()[n][1]) - called

    def next_change(self, m):
        body = self.changes.next(5 + SLACK)
        self.assertIsNotNone(body, "no PropertiesChanged\n" + m.log())
        interface, changed, invalidated = body.unpack()
        self.assertEqual((interface, list(changed), invalidated), (HOST_INTERFACE, ["Devices"], []))
        return body.get_child_value(1).lookup_value("Devices", GLib.VariantType("a{sa{sv}}"))

    def assert_same_map(self, devices, body):
        """`devices` (a{sa{sv}}) carries exactly the broadcast's entries, byte for byte."""
        def entries(d):
            return {k: entry_bytes(d.lookup_value(k, GLib.VariantType("a{sv}"))) for k in d.keys()}
        self.assertEqual(entries(devices), entries(body.get_child_value(2)))


class DevicesTest(HostServiceTestCase):
    def test_devices_follow_the_broadcasts_and_refresh_starts_a_run(self):
        b = self.bundle()
        b.set_output(DEVICE)
        m = self.start_owner(b)
        self.assertEqual(self.host.devices().unpack(), {})
        self.assertRegex(self.host.get("Version").get_string(), r"^\d+\.\d+\.\d+$")

        self.assertLess(self.refresh_and_wait_for_start(b), 1.0)  # not the 5 s timer
        body = self.broadcast(m)
        self.assert_same_map(self.next_change(m), body)
        self.assert_same_map(self.host.devices(), body)

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


class NuvctlTest(HostServiceTestCase):
    def test_without_a_module(self):
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

    def test_status_watch_refresh_and_kill_with_a_module(self):
        watch = Watch(self.bus, "--json")
        try:
            b = self.bundle()
            b.set_output(DEVICE)
            m = self.start_owner(b)
            # A module that appears later is read as soon as it owns its name.
            line = watch.out.next(2)
            self.assertIsNotNone(line, m.log())
            self.assertEqual(json.loads(line)["devices"], {})

            self.assertEqual(nuvctl(self.bus, "refresh").returncode, 0)
            self.broadcast(m, 2)
            self.assertEqual(json.loads(watch.out.next(2))["devices"]["abc"]["Battery"], "85")

            status = nuvctl(self.bus, "status", "--json")
            self.assertEqual(status.returncode, 0, status.stderr)
            device = json.loads(status.stdout)["devices"]["abc"]
            self.assertEqual((device["name"], device["Host Attached"]), ("My Phone", "1"))
            self.assertIn("timestamp", device)
            table = nuvctl(self.bus, "status")
            self.assertEqual(table.returncode, 0, table.stderr)
            self.assertIn("1 reported", table.stdout)
            self.assertRegex(table.stdout, r"My Phone +\[#+ *\]  85%  yes +yes")

            # A watch started now shows the current map within a second.
            started = time.monotonic()
            late = Watch(self.bus, "--json")
            first = late.out.next(1)
            self.assertLess(time.monotonic() - started, 1.0)
            self.assertEqual(json.loads(first)["devices"]["abc"]["Battery"], "85")
            late.stop()

            done = nuvctl(self.bus, "kill")
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertIsNone(self.host.owner())  # kill returns once the name is released
            self.assertEqual(m.wait(5), 0, m.log())
            self.assertIsNone(watch.proc.poll())  # watching goes on without a module
        finally:
            watch.stop()


if __name__ == "__main__":
    unittest.main()
