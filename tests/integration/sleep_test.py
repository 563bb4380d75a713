"""Sleep, wake and the relaunch: the built module on a private session bus and
a private system bus with python3-dbusmock's logind.

Every relaunch waits 3 s in the shell; every wait here is bounded.
"""

import os
import signal
import subprocess
import time
import unittest

import dbus
import dbusmock

import nuvtest
from nuvtest import GLib, wait_until

DEVICE = "Bonjour\tabc123\nname\tTest Phone\nBattery\t77\nCharging\t1\nHost Attached\t1\n"
LOGIN1 = "org.freedesktop.login1"
MANAGER = "org.freedesktop.login1.Manager"


def module_pids(bundle):
    """Pids of processes that run this bundle's executable (not the shell
    that waits to start it)."""
    target = os.path.realpath(bundle.executable)
    out = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            exe = os.readlink("/proc/%s/exe" % pid)
        except OSError:
            continue
        if exe == target:
            out.append(int(pid))
    return out


def relaunch_command(bundle):
    quoted = "'" + bundle.executable.replace("'", "'\\''") + "'"
    return ("sleep 3.000000; exec " + quoted).encode()


def shells_waiting_for(bundle):
    """(pid, session id) of the relaunch shells that will start this bundle."""
    out = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                argv = f.read().split(b"\0")
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if len(argv) >= 3 and argv[1] == b"-c" and argv[2] == relaunch_command(bundle):
            out.append((int(pid), int(fields[3])))  # field 6 of stat: the session
    return out


def gone(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


class SleepFixture(nuvtest.ModuleTestCase, dbusmock.DBusTestCase):
    """A private system bus with logind per class, a fresh logind per test."""

    @classmethod
    def setUpClass(cls):
        cls.start_system_bus()

    def setUp(self):
        super().setUp()
        self.logind, self.logind_obj = self.spawn_server_template(
            "logind", {}, stdout=subprocess.DEVNULL)
        self.relaunched = []

    def tearDown(self):
        for pid in self.relaunched:
            try:
                os.kill(pid, signal.SIGTERM)
            except OSError:
                pass
        for pid in self.relaunched:
            if not wait_until(lambda: gone(pid), 10):
                os.kill(pid, signal.SIGKILL)
        self.logind.terminate()
        self.logind.wait(10)
        super().tearDown()

    # -- helpers ---------------------------------------------------------

    def inhibitors(self):
        return [tuple(str(x) for x in i[:4])
                for i in self.logind_obj.ListInhibitors(dbus_interface=MANAGER)]

    def our_inhibitor(self):
        return [i for i in self.inhibitors() if i[0] == "sleep" and i[1] == "NUVModule"
                and i[3] == "delay"]

    def prepare_for_sleep(self, start):
        self.logind_obj.EmitSignal(MANAGER, "PrepareForSleep", "b", [dbus.Boolean(start)],
                                   dbus_interface=dbusmock.MOCK_IFACE)

    def defaults_path(self, bundle):
        return os.path.join(self.tmp, "config", bundle.identifier, "defaults.gvariant")

    def read_defaults(self, bundle):
        with open(self.defaults_path(bundle)) as f:
            return GLib.Variant.parse(GLib.VariantType.new("a{sv}"), f.read(), None, None).unpack()

    def start_with_device(self, bundle):
        bundle.set_output(DEVICE)
        m = self.start(bundle)
        self.assertTrue(wait_until(self.our_inhibitor, 10), "no delay inhibitor:\n" + m.log())
        self.assertIsNotNone(self.listener.next(15), "no probe run:\n" + m.log())
        return m

    def assert_relaunched(self, old, bundle):
        """After wake: the old process ends, a detached shell waits, and a new
        module process runs within 5 s; returns its pid."""
        woke = time.monotonic()
        self.assertEqual(old.wait(5), 0, old.log())
        shells = wait_until(lambda: shells_waiting_for(bundle), 2)
        self.assertTrue(shells, "no relaunch shell")
        for pid, session in shells:
            self.assertEqual(pid, session, "the relaunch shell is not a session leader")
        new = wait_until(lambda: [p for p in module_pids(bundle) if p != old.pid], 5.5)
        self.relaunched.extend(new or [])
        self.assertEqual(len(new or []), 1, old.log())
        took = time.monotonic() - woke
        self.assertGreaterEqual(took, 2.8)
        self.assertLess(took, 5.0)
        self.assertTrue(gone(old.pid))
        # The new process is a full module: it takes its own inhibitor.
        self.assertTrue(wait_until(self.our_inhibitor, 10), old.log())
        return new[0]

    def kill_relaunched(self, pid):
        # The new process may not have subscribed yet: repeat until it ends.
        def killed():
            self.bus.emit("vemo.Tallyport.kill")
            return wait_until(lambda: gone(pid), 0.5)
        self.assertTrue(wait_until(killed, 10), "relaunched module ignored the kill")



class SleepTest(SleepFixture):
    def test_sleep_saves_before_releasing_the_inhibitor_and_wake_relaunches(self):
        bundle = self.bundle()
        m = self.start_with_device(bundle)
        self.assertFalse(os.path.exists(self.defaults_path(bundle)))

        self.prepare_for_sleep(True)
        self.assertTrue(wait_until(lambda: not self.our_inhibitor(), 5), m.log())
        # The inhibitor is released only after the save: the file is there now.
        saved = self.read_defaults(bundle)["current"]
        self.assertEqual(list(saved), ["abc123"])
        entry = saved["abc123"]
        self.assertEqual(entry["Battery"], "77")
        self.assertIsInstance(entry["timestamp"], int)
        self.assertLess(abs(entry["timestamp"] / 1e6 - time.time()), 120)
        self.assertEqual(os.stat(self.defaults_path(bundle)).st_mode & 0o777, 0o600)
        self.assertIn("receiveSleepNote: ", m.log())
        self.assertTrue(m.running())

        self.prepare_for_sleep(False)
        new = self.assert_relaunched(m, bundle)
        # Launched today: "current" is kept for the new instance.
        self.assertIn("current", self.read_defaults(bundle))
        self.kill_relaunched(new)

    def test_bundle_under_a_hostile_path_relaunches_the_right_executable(self):
        decoy = os.path.join(self.tmp, "decoy")
        bundle = self.bundle(name="odd \"dir\" it's $HOME `touch %s` $(touch %s) \\ x\nline;"
                             "/NUVModule.app" % (decoy, decoy))
        m = self.start_with_device(bundle)
        self.prepare_for_sleep(True)
        self.assertTrue(wait_until(lambda: not self.our_inhibitor(), 5), m.log())
        self.prepare_for_sleep(False)
        new = self.assert_relaunched(m, bundle)
        self.assertFalse(os.path.exists(decoy))
        self.kill_relaunched(new)

    def test_wake_without_sleep_relaunches_and_saves_nothing(self):
        bundle = self.bundle()
        m = self.start_with_device(bundle)
        self.prepare_for_sleep(False)
        new = self.assert_relaunched(m, bundle)
        self.assertFalse(os.path.exists(self.defaults_path(bundle)))
        self.kill_relaunched(new)

    def test_corrupt_defaults_file_is_kept_and_the_save_still_lands(self):
        bundle = self.bundle()
        path = self.defaults_path(bundle)
        os.makedirs(os.path.dirname(path))
        with open(path, "wb") as f:
            f.write(b"{'current': <{'abc': <{'Bonjour': <'ab")
        m = self.start_with_device(bundle)
        self.prepare_for_sleep(True)
        self.assertTrue(wait_until(lambda: not self.our_inhibitor(), 5), m.log())
        self.assertIn("abc123", self.read_defaults(bundle)["current"])
        with open(path + ".unreadable", "rb") as f:
            self.assertEqual(f.read(), b"{'current': <{'abc': <{'Bonjour': <'ab")
        self.assertTrue(m.running())

    def test_without_logind_or_system_bus_the_module_runs_on(self):
        bundle = self.bundle()
        bundle.set_output(DEVICE)
        self.logind.terminate()
        self.logind.wait(10)
        no_logind = self.start(bundle)
        no_bus = self.start(self.bundle(name="other/NUVModule.app", identifier=nuvtest.TEST_BUNDLE_ID + ".b"),
                            extra_env={
            "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=" + os.path.join(self.tmp, "no-such-socket")})
        for m, text in ((no_logind, "no sleep inhibitor"), (no_bus, "no system bus")):
            self.assertTrue(wait_until(lambda: text in m.log(), 10), m.log())
            self.assertEqual(m.log().count(text), 1)
        # Both keep polling (the second runs a probe with no output).
        self.assertIsNotNone(self.listener.next(15))
        self.assertTrue(no_logind.running() and no_bus.running())


class UnitCgroup:
    """A cgroup named like a systemd unit, standing in for the user unit's
    control group; None when this machine does not let us make one."""

    @staticmethod
    def make(name):
        mount = None
        with open("/proc/self/mountinfo") as f:
            for line in f:
                left, _, right = line.partition(" - ")
                if right.split()[0] == "cgroup2":
                    mount = left.split()[4]
                    break
        with open("/proc/self/cgroup") as f:
            own = [l.strip()[3:] for l in f if l.startswith("0::")]
        if not mount or not own:
            return None
        group = UnitCgroup(mount, own[0], name)
        try:
            os.mkdir(group.path)
        except OSError:
            return None
        return group

    def __init__(self, mount, own, name):
        self.original = os.path.join(mount, own.lstrip("/"))
        self.path = os.path.join(self.original, name)

    def run_inside(self, start):
        """Calls start() with this process inside the group, so that what it
        forks starts there; returns its result."""
        with open(os.path.join(self.path, "cgroup.procs"), "w") as f:
            f.write(str(os.getpid()))
        try:
            return start()
        finally:
            with open(os.path.join(self.original, "cgroup.procs"), "w") as f:
                f.write(str(os.getpid()))

    def remove(self):
        try:
            os.rmdir(self.path)
        except OSError:
            pass


class UnitRelaunchTest(SleepFixture):
    """Under its systemd user unit the module relaunches through
    "systemctl --user restart", falling back to starting itself. There is no
    user manager here: a cgroup named like the unit and a scripted systemctl
    stand in for it."""

    def test_under_the_unit_the_relaunch_restarts_it_and_falls_back_to_exec(self):
        unit = "nuvtest-%d.service" % os.getpid()
        group = UnitCgroup.make(unit)
        if group is None:
            self.skipTest("cannot create a cgroup here")
        self.addCleanup(group.remove)
        fakebin = os.path.join(self.tmp, "bin")
        os.makedirs(fakebin)
        calls = os.path.join(self.tmp, "systemctl-calls")
        status = os.path.join(self.tmp, "systemctl-status")
        with open(status, "w") as f:
            f.write("1")  # first: no user manager to talk to
        nuvtest.make_executable(os.path.join(fakebin, "systemctl"),
                                "#!/bin/sh\necho \"$*\" >> '%s'\nexit $(cat '%s')\n" % (calls, status))
        bundle = self.bundle()
        bundle.set_output(DEVICE)
        env = {"NUV_SYSTEMD_UNIT": unit, "PATH": fakebin + ":" + os.environ.get("PATH", "")}
        m = group.run_inside(lambda: self.start(bundle, extra_env=env))
        self.assertTrue(wait_until(self.our_inhibitor, 10), m.log())
        expected = "--user --no-block restart %s\n" % unit

        # systemctl fails: the shell starts the module itself.
        self.prepare_for_sleep(False)
        self.assertEqual(m.wait(5), 0, m.log())
        second = wait_until(lambda: [p for p in module_pids(bundle) if p != m.pid], 5.5)
        self.relaunched.extend(second or [])
        self.assertEqual(len(second or []), 1, m.log())
        with open(calls) as f:
            self.assertEqual(f.read(), expected)
        with open(os.path.join(group.path, "cgroup.procs")) as f:
            self.assertIn(str(second[0]), f.read().split())
        self.assertTrue(wait_until(self.our_inhibitor, 10), m.log())

        # systemctl succeeds: the unit's restart is left to the manager.
        with open(status, "w") as f:
            f.write("0")
        self.prepare_for_sleep(False)
        self.assertTrue(wait_until(lambda: gone(second[0]), 5), m.log())
        self.assertTrue(wait_until(lambda: os.path.getsize(calls) == 2 * len(expected), 5))
        time.sleep(0.3)
        self.assertEqual(module_pids(bundle), [])


if __name__ == "__main__":
    unittest.main()
