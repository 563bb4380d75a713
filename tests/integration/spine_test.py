"""The module end to end: probe runs, the iOSStack broadcast on the bus, the
kill notification, the single-instance rule and misbehaving probes. Runs
are started with Refresh() where the 5 s poll timer is not what is tested."""

import os
import re
import signal
import time
import unittest

from gi.repository import GLib

import nuvtest
from nuvtest import DEVICE, FIRST_RUN, SLACK, ModuleTestCase, log_records, wait_until


class BroadcastTest(ModuleTestCase):
    def test_first_result_unchanged_and_changed(self):
        b = self.bundle(output=DEVICE)
        m = self.start(b)
        body = self.broadcast(m)  # the first poll run
        # Exact wire types (the entries' own are VariantCodec_test's
        # WireTypesAndRoundTrip); the date is this run's.
        self.assertEqual((body.get_type_string(), body.unpack()[:2]),
                         ("(ssa{sv})", ("iOSStack", "")))
        stamp = body.get_child_value(2).lookup_value("abc", None).lookup_value("timestamp", None)
        self.assertLess(abs(stamp.get_int64() / 1e6 - time.time()), 30)  # an "x"

        # The same output again; invalid UTF-8 (no result at all, not a
        # renamed device); no "Bonjour" (dropped): nothing is broadcast.
        for output in (DEVICE, b"Bonjour\tabc\nname\t\xff\xfe\n", "name\tNobody\n"):
            b.set_output(output)
            self.run_now(b, m)
            self.assertIsNone(self.listener.next(1.0))
        self.assertEqual(self.change(b, m, DEVICE.replace("85", "84"))["abc"]["Battery"], "84")
        # 16 MiB of output: read whole, the device at its head.
        b.set_output(DEVICE.encode() + (b"x" * 1023 + b"\n") * (16 * 1024))
        self.run_now(b, m)
        self.assertEqual(self.broadcast(m, 5).unpack()[2]["abc"]["Battery"], "85")
        self.assertTrue(m.running())


class LifecycleTest(ModuleTestCase):
    def test_every_stop_ends_the_probes_whole_group(self):
        """A shell probe that ignores SIGTERM, and so do its children: after
        SIGTERM, SIGINT or the kill notification no process of the probe's
        group is left 1 s after the module's exit. Three modules at once,
        each with a bundle identifier of its own."""
        bundles = {}
        for stop in ("SIGTERM", "SIGINT", "kill"):
            b = bundles[stop] = self.bundle(stop + ".app", nuvtest.TEST_BUNDLE_ID + "." + stop,
                                            DEVICE)
            b.set_hook("before", "trap '' TERM; sleep 40 & sleep 40")
        # A save that a kill cut short left its temporary file: removed at
        # start-up, the defaults file itself kept.
        config = os.path.join(self.tmp, "config", bundles["SIGTERM"].identifier)
        os.makedirs(config)
        for name in ("defaults.gvariant", "defaults.gvariant.Xy12Zw"):
            nuvtest.write_whole(os.path.join(config, name), "@a{sv} {}\n")
            os.utime(os.path.join(config, name), (time.time() - 60,) * 2)
        runs = [(stop, b, self.start(b)) for stop, b in bundles.items()]

        groups = {}
        for stop, b, m in runs:
            self.assertTrue(wait_until(lambda: b.starts(), FIRST_RUN + SLACK), m.log())
            groups[m] = int(b.starts()[0][0])
            # The shell, and its sleeps: a group of the probe's own.
            self.assertTrue(wait_until(lambda: len(nuvtest.group_members(groups[m])) >= 2, 2))
        self.assertEqual(sorted(os.listdir(config)), ["defaults.gvariant"])

        # The kill notification reaches every module on the bus: signals first.
        for stop, b, m in runs:
            if stop == "kill":
                self.bus.emit("vemo.Tallyport.kill", "anything", {"x": GLib.Variant("s", "y")})
            else:
                m.proc.send_signal(getattr(signal, stop))
            self.assertEqual(m.wait(5), 0, m.log())
            self.assertTrue(wait_until(lambda: not nuvtest.group_members(groups[m]), 1),
                            "the probe's group left after " + stop)
        # Nothing is saved on the kill notification's path.
        kill_config = os.path.join(self.tmp, "config", bundles["kill"].identifier)
        self.assertFalse(os.path.exists(kill_config))

    def test_second_instance_quits_and_another_letter_case_is_another_application(self):
        other = self.start(self.bundle("Other.app", nuvtest.TEST_BUNDLE_ID.upper()))
        time.sleep(1.0)
        b = self.bundle(output=DEVICE)
        first = self.start(b)
        time.sleep(1.0)
        second = self.start(b)
        self.assertEqual(second.wait(10), 0, second.log())
        self.assertTrue(first.running())
        self.broadcast(first)
        self.assertTrue(first.running() and other.running())


class MisbehavingProbeTest(ModuleTestCase):
    # A hung probe's 30 s limit (SIGTERM, SIGKILL 2 s later, the next run 5 s
    # on) is AppDelegate_test's on the virtual clock; the signals reaching a
    # deaf probe's whole group are LinuxBackends_test's and the stop case
    # above. A daemon that holds the output delays a run by a grace only
    # (AppDelegate_test's AProcessHoldingTheOutput...); the standard error
    # case below runs with one, and counts the module's descriptors.
    def test_missing_and_crashing_probes(self):
        b = self.bundle("Zoë's NUVModule.app")
        os.remove(b.probe)
        m = self.start(b, {"LANG": "C.UTF-8", "LC_ALL": ""})
        self.refresh(m)
        self.assertTrue(wait_until(lambda: "missing" in m.log(), 2 + SLACK), m.log())
        # Not executable; the log names the path as it is, not in ASCII.
        nuvtest.write_whole(b.probe, "#!/bin/sh\n")
        self.refresh(m)
        self.assertTrue(wait_until(lambda: "cannot start" in m.log(), 5 + SLACK), m.log())
        self.assertIn("Zoë's NUVModule.app/Resources", m.log())
        # Crashes before printing anything: an empty run, and polling goes on.
        b.set_probe_script(nuvtest.PROBE_TEMPLATE.format(dir=b.control))
        b.set_hook("before", "kill -SEGV $$")
        b.set_output(DEVICE)
        self.run_now(b, m)
        self.assertIsNone(self.listener.next(1.0))
        b.set_hook("before", None)
        self.change(b, m, DEVICE)
        self.assertTrue(m.running())

    def test_without_its_session_bus_the_module_ends_with_a_failure_saying_so_once(self):
        _, m = self.start_device()
        self.bus.proc.kill()
        limit = 2 + (SLACK if nuvtest.cmake_cache("NUV_SANITIZE") else 0)
        self.assertEqual(m.wait(limit), 1, m.log())
        self.assertEqual(m.log().count("lost the session bus"), 1, m.log())
        self.modules.remove(m)
        m.stop()
        self.assertIsNone(nuvtest.sanitizer_report(m.log()))


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(next(l for l in f if l.startswith("VmHWM:")).split()[1])


class ProbeStandardErrorTest(ModuleTestCase):
    """The probe's standard error reaches the log only through the module's
    own records, a warning once per text. One module, whose probe in turn
    says the same every run and floods its standard error. Runs are started
    by Refresh(), each once the last has ended. (Standard error closed at
    once is LinuxBackends_test's; the rule is ProbeErrorLog_test's.)"""

    def stderr_records(self, m, pattern):
        """How many (warnings, debug messages) of the module log the probe's stderr."""
        return tuple(len([t for t in log_records(m.log(), level) if re.match(pattern, t)])
                     for level in ("WARNING", "DEBUG"))

    def run_until(self, b, m, pattern, records):
        """A run that brings `records` in all."""
        self.run_now(b, m)
        self.assertTrue(wait_until(lambda: sum(self.stderr_records(m, pattern)) == records, 5),
                        m.log()[-3000:])

    def test_warned_once_and_flooded(self):
        b = self.bundle(output=DEVICE)
        # A pid in the text each run, and a daemon that holds both pipes.
        b.set_hook("after", 'echo "devInfo.NUVModule[$$]: usbmuxd is not running" >&2\n'
                            "sleep 30 &\nexit 69")
        m = self.start(b, {"G_MESSAGES_DEBUG": "NUVModule"})
        said = r"probe tool stderr: devInfo\.NUVModule\[\d+\]: usbmuxd is not running$"
        for run in range(1, 4):
            self.run_until(b, m, said, run)
            if run == 2:
                fds = fd_count(m.pid)
        self.assertEqual(self.broadcast(m, 0).unpack()[2]["abc"]["Battery"], "85")
        self.assertEqual(self.stderr_records(m, said), (1, 2), m.log())
        # Nothing of the probe reaches the log but through those records.
        self.assertEqual(m.log().count("usbmuxd is not running"), 3, m.log())

        # 10 MiB of standard error per run: the module's peak memory hardly
        # moves, and it holds no more descriptors once the run is over.
        b.set_hook("after", "head -c 10485760 /dev/zero | tr '\\0' x >&2")
        flood = r"probe tool stderr \(its last 4096 of 10485760 bytes\): x{4096}$"
        peak = peak_rss_kib(m.pid)
        for run in range(1, 3):
            self.run_until(b, m, flood, run)
        self.assertEqual(self.stderr_records(m, flood), (1, 1))
        # Well below the 10 MiB of one run (sanitizer builds add their own).
        self.assertLess(peak_rss_kib(m.pid) - peak, 5 * 1024)
        self.assertTrue(wait_until(lambda: fd_count(m.pid) == fds, 5 + SLACK), fd_count(m.pid))
        self.assertTrue(m.running())


if __name__ == "__main__":
    unittest.main()
