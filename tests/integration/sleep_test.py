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
from nuvtest import DEVICE, GLib, wait_until

MANAGER = "org.freedesktop.login1.Manager"


def module_pids(bundle):
    """Pids of processes that run this bundle's executable (not the shell
    that waits to start it)."""
    target = os.path.realpath(bundle.executable)
    return nuvtest.pids_where(lambda pid: os.readlink("/proc/%d/exe" % pid) == target)


def make_unit_cgroup(name):
    """Makes a cgroup named like a systemd unit inside our own, standing in
    for the user unit's control group; returns (its path, ours), or None when
    this machine does not let us make one."""
    with open("/proc/self/mountinfo") as f:
        mounts = [left.split()[4] for left, _, right in (l.partition(" - ") for l in f)
                  if right.split()[0] == "cgroup2"]
    own = [l[3:] for l in nuvtest.read("/proc/self/cgroup").splitlines() if l.startswith("0::")]
    if not mounts or not own:
        return None
    ours = os.path.join(mounts[0], own[0].lstrip("/"))
    try:
        os.mkdir(os.path.join(ours, name))
    except OSError:
        return None
    return os.path.join(ours, name), ours


def move_into_cgroup(path):
    """Moves this process, and so what it forks from now on, into `path`."""
    with open(os.path.join(path, "cgroup.procs"), "w") as f:
        f.write(str(os.getpid()))


class SleepTest(nuvtest.ModuleTestCase, dbusmock.DBusTestCase):
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
            if not wait_until(lambda: nuvtest.gone(pid), 10):
                os.kill(pid, signal.SIGKILL)
        nuvtest.stop_process(self.logind)
        super().tearDown()

    def our_inhibitor(self):
        inhibitors = [tuple(str(x) for x in i[:4])
                      for i in self.logind_obj.ListInhibitors(dbus_interface=MANAGER)]
        return [i for i in inhibitors if i[0] == "sleep" and i[1] == "NUVModule" and i[3] == "delay"]

    def prepare_for_sleep(self, start):
        self.logind_obj.EmitSignal(MANAGER, "PrepareForSleep", "b", [dbus.Boolean(start)],
                                   dbus_interface=dbusmock.MOCK_IFACE)

    def defaults_path(self, bundle):
        return os.path.join(self.tmp, "config", bundle.identifier, "defaults.gvariant")

    def read_defaults(self, bundle):
        with open(self.defaults_path(bundle)) as f:
            return GLib.Variant.parse(GLib.VariantType.new("a{sv}"), f.read(), None, None).unpack()

    def test_sleep_saves_before_releasing_the_inhibitor_and_wake_relaunches(self):
        # A bundle path that breaks naive shell quoting: the relaunch must start
        # exactly this executable and run none of the path's text.
        decoy = os.path.join(self.tmp, "decoy")
        bundle = self.bundle(name="odd \"dir\" it's $HOME `touch %s` $(touch %s) \\ x\nline;"
                             "/NUVModule.app" % (decoy, decoy), output=DEVICE)
        m = self.start(bundle)
        self.assertTrue(wait_until(self.our_inhibitor, 10), "no delay inhibitor:\n" + m.log())
        self.run_now(bundle, m)
        self.broadcast(m, 1)
        self.assertFalse(os.path.exists(self.defaults_path(bundle)))

        self.prepare_for_sleep(True)
        self.assertTrue(wait_until(lambda: not self.our_inhibitor(), 5), m.log())
        # The inhibitor is released only after the save: the file is there now
        # (its mode is SleepBackends_test's FileUserDefaultsTest).
        saved = self.read_defaults(bundle)["current"]
        self.assertEqual((list(saved), saved["abc"]["Battery"]), (["abc"], "85"))
        self.assertLess(abs(saved["abc"]["timestamp"] / 1e6 - time.time()), 120)
        self.assertIn("receiveSleepNote: ", m.log())
        self.assertTrue(m.running())

        # After wake the old process ends, and a new module process runs 3 s
        # later. (The shell that waits is detached from us: SleepBackends_test's
        # SpawnDetachedLauncher.)
        self.prepare_for_sleep(False)
        woke = time.monotonic()
        self.assertEqual(m.wait(5), 0, m.log())
        new = wait_until(lambda: [p for p in module_pids(bundle) if p != m.pid], 5.5)
        self.relaunched.extend(new or [])
        self.assertEqual(len(new or []), 1, m.log())
        self.assertTrue(2.8 <= time.monotonic() - woke < 5.0, time.monotonic() - woke)
        self.assertFalse(os.path.exists(decoy))
        # The new process is a full module: it takes its own inhibitor, and
        # finds "current" kept, as it was launched today.
        self.assertTrue(wait_until(self.our_inhibitor, 10), m.log())
        self.assertIn("current", self.read_defaults(bundle))

        def killed():  # it may not have subscribed yet: repeat the kill until it ends
            self.bus.emit("vemo.Tallyport.kill")
            return wait_until(lambda: nuvtest.gone(new[0]), 0.5)
        self.assertTrue(wait_until(killed, 10), "relaunched module ignored the kill")

    def test_without_logind_or_system_bus_the_module_runs_on(self):
        bundle = self.bundle(output=DEVICE)
        nuvtest.stop_process(self.logind)
        no_logind = self.start(bundle)
        other = self.bundle(name="other/NUVModule.app", identifier=nuvtest.TEST_BUNDLE_ID + ".b")
        no_bus = self.start(other, extra_env={
            "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=" + os.path.join(self.tmp, "no-such-socket")})
        for m, text in ((no_logind, "no sleep inhibitor"), (no_bus, "no system bus")):
            self.assertTrue(wait_until(lambda: text in m.log(), 10), m.log())
            self.assertEqual(m.log().count(text), 1)
        # Both keep polling (the second runs a probe with no output).
        self.assertIsNotNone(self.listener.next(15))
        self.assertTrue(no_logind.running() and no_bus.running())

    def test_under_the_unit_the_relaunch_restarts_the_unit(self):
        """Under its systemd user unit the module relaunches through
        "systemctl --user restart". There is no user manager here: a cgroup
        named like the unit and a scripted systemctl stand in for it."""
        unit = "nuvtest-%d.service" % os.getpid()
        groups = make_unit_cgroup(unit)
        if groups is None:
            self.skipTest("cannot create a cgroup here")
        group, ours = groups
        self.addCleanup(subprocess.run, ["rmdir", group], stderr=subprocess.DEVNULL)
        fakebin = os.path.join(self.tmp, "bin")
        os.makedirs(fakebin)
        calls = os.path.join(self.tmp, "systemctl-calls")
        nuvtest.make_executable(os.path.join(fakebin, "systemctl"), "#!/bin/sh\n"
                                "echo \"$*\" >> '%s'\ntouch '%s.done'\n" % (calls, calls))
        bundle = self.bundle(output=DEVICE)
        env = {"NUV_SYSTEMD_UNIT": unit, "PATH": fakebin + ":" + os.environ.get("PATH", "")}
        move_into_cgroup(group)
        try:
            m = self.start(bundle, extra_env=env)
        finally:
            move_into_cgroup(ours)
        self.assertTrue(wait_until(self.our_inhibitor, 10), m.log())

        # systemctl succeeds: the unit's restart is left to the manager, and
        # nothing starts the module beside it. (That the shell starts it
        # itself when systemctl fails is the command's "||": RelaunchCommand
        # in SleepWake_test, and the exec is the first case's.)
        self.prepare_for_sleep(False)
        self.assertEqual(m.wait(5), 0, m.log())
        self.assertTrue(wait_until(lambda: os.path.exists(calls + ".done"), 5), m.log())
        time.sleep(0.3)
        self.assertEqual(nuvtest.read(calls), "--user --no-block restart %s\n" % unit)
        self.assertEqual(module_pids(bundle), [])


if __name__ == "__main__":
    unittest.main()
