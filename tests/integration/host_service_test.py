"""The host service (vemo.Tallyport.NUVModule1) of the real module on a private
bus: Devices against the broadcasts, PropertiesChanged, Refresh(), nuvctl
status / watch / refresh / kill, the name held by another process, a hostile
caller, and the README's subscriber. The service's own contract (error names,
signal order, the exported interface against the installed XML) is its unit
test's."""

import json
import os
import subprocess
import time
import unittest

import nuvtest  # noqa: I100 (selects the GI versions first)
from gi.repository import Gio, GLib
from nuvtest import (DEVICE, HOST_INTERFACE, HOST_NAME, HOST_PATH, NUVCTL, SLACK, Host, Lines,
                     Listener, ModuleTestCase, Watch, entry_bytes, wait_until)

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
        info = body.get_child_value(2)
        self.assertEqual(devices.n_children(), info.n_children())
        for i in range(devices.n_children()):
            key = devices.get_child_value(i).get_child_value(0).get_string()
            entry = devices.get_child_value(i).get_child_value(1)
            self.assertEqual(entry_bytes(entry),
                             entry_bytes(info.lookup_value(key, GLib.VariantType("a{sv}"))), key)


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

        # Unchanged: no broadcast and no signal; the read drops "timestamp" at once.
        self.refresh_and_wait_for_start(b)
        self.assertIsNone(self.listener.next(1.0))
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

    def test_a_refresh_storm_is_answered_at_once_and_reads_go_on_during_the_run(self):
        # 300 requests from a hostile or buggy host as fast as the bus takes
        # them, while a run takes 1 s: every one is answered, and reads too.
        # (One run per request burst, never overlapping, with a single timer
        # is AppDelegate_test's RefreshStartsOneRunOnTheNextIteration...)
        b = self.bundle()
        b.set_output(DEVICE)
        b.set_hook("before", "sleep 1")
        m = self.start_owner(b)
        pending = [300]
        context = GLib.MainContext.default()
        called = time.monotonic()
        for _ in range(pending[0]):
            self.host.conn.call(HOST_NAME, HOST_PATH, HOST_INTERFACE, "Refresh", None, None,
                                Gio.DBusCallFlags.NO_AUTO_START, 5000, None,
                                lambda conn, result: (conn.call_finish(result),
                                                      pending.__setitem__(0, pending[0] - 1)))
        while pending[0] and time.monotonic() < called + 10:
            context.iteration(True)
        self.assertEqual(pending[0], 0, "unanswered Refresh() calls")
        self.assertTrue(wait_until(lambda: b.starts(), 2))
        slowest = 0.0
        for _ in range(20):
            t = time.monotonic()
            self.host.devices()
            slowest = max(slowest, time.monotonic() - t)
        self.assertLess(slowest, 0.5)
        self.broadcast(m, 2)
        self.assertTrue(m.running())


class NuvctlTest(HostServiceTestCase):
    def test_without_a_module(self):
        for command in ("status", "refresh", "kill"):
            done = nuvctl(self.bus, command)
            self.assertEqual((done.returncode, done.stdout), (1, ""), command)
            self.assertEqual(done.stderr, "nuvctl %s: no module is running\n" % command)

    def test_kill_gives_up_after_five_seconds_on_a_name_that_stays(self):
        squatter = nuvtest.connect(self.bus.address)  # holds the name, ignores the kill
        self.addCleanup(lambda: squatter.is_closed() or squatter.close_sync(None))
        squatter.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "RequestName", GLib.Variant("(su)", (HOST_NAME, 0)), None,
                           Gio.DBusCallFlags.NONE, 5000, None)
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


def readme_subscriber():
    """The Python subscriber the README gives host developers to copy."""
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")) as f:
        text = f.read()
    section = text[text.index("### The host service"):]
    return section[section.index("```python\n") + 10:section.index("\n```", section.index("```python"))]


class ContractTest(HostServiceTestCase):
    def test_the_readme_subscriber_shows_the_map_and_follows_it(self):
        b = self.bundle()
        b.set_output(DEVICE)
        m = self.start_owner(b)
        self.host.refresh()
        self.broadcast(m, 2)
        script = os.path.join(self.tmp, "subscriber.py")
        with open(script, "w") as f:
            f.write(readme_subscriber())
        proc = subprocess.Popen(["/usr/bin/python3", script], env=self.bus.env(),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        try:
            out = Lines(proc.stdout)
            self.assertRegex(out.next(5) or "", r"^abc +My Phone +battery  85% charging 1$")
            self.assertEqual(out.next(1), "--")
            b.set_output(DEVICE.replace("85", "84"))
            self.host.refresh()
            self.assertRegex(out.next(5) or "", r"battery  84%")
        finally:
            nuvtest.stop_process(proc)
            proc.stdout.close()


if __name__ == "__main__":
    unittest.main()
