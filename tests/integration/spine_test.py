"""The module end to end: probe runs, the iOSStack broadcast on the bus, the
kill notification, the single-instance rule and misbehaving probes."""

import os
import re
import signal
import time
import unittest

from gi.repository import GLib

import nuvtest
from nuvtest import DEVICE, FIRST_RUN, SLACK, ModuleTestCase, wait_until


def assert_quiet_run(test, b, timeout=5 + SLACK):
    """The probe runs again and nothing is broadcast."""
    n = len(b.starts())
    test.assertTrue(wait_until(lambda: len(b.starts()) > n, timeout))
    test.assertIsNone(test.listener.next(1.0))


class BroadcastTest(ModuleTestCase):
    def test_first_result_unchanged_and_changed(self):
        b = self.bundle()
        b.set_output(DEVICE)
        m = self.start(b)
        body = self.broadcast(m)
        # Exact wire types: (ssa{sv}) with entries a{sv} of s and a date as x.
        self.assertEqual(body.get_type_string(), "(ssa{sv})")
        self.assertEqual(body.get_child_value(0).get_string(), "iOSStack")
        self.assertEqual(body.get_child_value(1).get_string(), "")
        entry = body.get_child_value(2).lookup_value("abc", None)
        self.assertEqual(entry.get_type_string(), "a{sv}")
        self.assertEqual(entry.lookup_value("Host Attached", GLib.VariantType("s")).get_string(), "1")
        stamp = entry.lookup_value("timestamp", None)
        self.assertEqual(stamp.get_type_string(), "x")
        self.assertLess(abs(stamp.get_int64() / 1e6 - time.time()), 30)

        # The same output again; invalid UTF-8 (no result at all, not a
        # renamed device); no "Bonjour" (dropped): nothing is broadcast.
        for output in (DEVICE, b"Bonjour\tabc\nname\t\xff\xfe\n", "name\tNobody\n"):
            b.set_output(output)
            assert_quiet_run(self, b)

        b.set_output(DEVICE.replace("85", "84"))
        self.assertEqual(nuvtest.stack_of(self.broadcast(m))["abc"]["Battery"], "84")
        # 16 MiB of output: read whole, the device at its head.
        b.set_output(DEVICE.encode() + (b"x" * 1023 + b"\n") * (16 * 1024))
        self.assertEqual(nuvtest.stack_of(self.broadcast(m, 5 + 5))["abc"]["Battery"], "85")
        self.assertTrue(m.running())


class LifecycleTest(ModuleTestCase):
    def test_kill_notification_exits_zero_and_writes_nothing(self):
        b, m = self.start_device()
        self.bus.emit("vemo.Tallyport.kill", "anything", {"x": GLib.Variant("s", "y")})
        self.assertEqual(m.wait(10), 0, m.log())
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "config", b.identifier)))
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "config", nuvtest.BUNDLE_ID)))

    def test_every_stop_ends_the_probes_whole_group(self):
        """A shell probe whose child sleeps, and one that ignores SIGTERM (its
        children too): after SIGTERM, SIGINT or the kill notification no
        process of the probe's group is left 1 s after the module's exit.
        Six modules at once, each with a bundle identifier of its own."""
        hooks = {"child": "sleep 40", "deaf": "trap '' TERM; sleep 40 & sleep 40"}
        runs = []
        for stop in ("SIGTERM", "SIGINT", "kill"):
            for kind, hook in hooks.items():
                b = self.bundle("%s-%s.app" % (stop, kind),
                                "%s.%s.%s" % (nuvtest.TEST_BUNDLE_ID, stop, kind))
                b.set_output(DEVICE)
                b.set_hook("before", hook)
                runs.append((stop, kind, b))
        # A save that a kill cut short left its temporary file: removed at
        # start-up, the defaults file itself kept.
        config = os.path.join(self.tmp, "config", runs[0][2].identifier)
        os.makedirs(config)
        for name in ("defaults.gvariant", "defaults.gvariant.Xy12Zw"):
            nuvtest.write_whole(os.path.join(config, name), "@a{sv} {}\n")
            os.utime(os.path.join(config, name), (time.time() - 60,) * 2)
        runs = [(stop, kind, b, self.start(b)) for stop, kind, b in runs]

        groups = {}
        for stop, kind, b, m in runs:
            self.assertTrue(wait_until(lambda: b.starts(), FIRST_RUN + SLACK), m.log())
            pgid = int(b.starts()[0][0])
            # The shell, and its sleeps: a group of the probe's own.
            self.assertTrue(wait_until(lambda: len(nuvtest.group_members(pgid)) >= 2, 2), kind)
            groups[m] = pgid
        self.assertEqual(sorted(os.listdir(config)), ["defaults.gvariant"])

        def assert_stopped(stop, kind, m):
            self.assertEqual(m.wait(5), 0, m.log())
            self.assertTrue(wait_until(lambda: not nuvtest.group_members(groups[m]), 1),
                            "%s probe's group left after %s" % (kind, stop))

        # The kill notification reaches every module on the bus: signals first.
        for stop, kind, b, m in runs:
            if stop != "kill":
                m.proc.send_signal(getattr(signal, stop))
                assert_stopped(stop, kind, m)
        self.bus.emit("vemo.Tallyport.kill")
        for stop, kind, b, m in runs:
            if stop == "kill":
                assert_stopped(stop, kind, m)

    def test_second_instance_quits_and_another_letter_case_is_another_application(self):
        other = self.start(self.bundle("Other.app", nuvtest.TEST_BUNDLE_ID.upper()))
        time.sleep(1.0)
        b = self.bundle()
        b.set_output(DEVICE)
        first = self.start(b)
        time.sleep(1.0)
        second = self.start(b)
        self.assertEqual(second.wait(10), 0, second.log())
        self.assertTrue(first.running())
        self.broadcast(first)
        self.assertTrue(first.running() and other.running())


class MisbehavingProbeTest(ModuleTestCase):
    def assert_loop_goes_on(self, b, m, timeout=5):
        """Once the bad run is under way, a good output is broadcast by a later run."""
        b.set_output(DEVICE)
        b.set_hook("before", None)
        b.set_hook("after", None)
        self.broadcast(m, timeout)
        self.assertTrue(m.running())

    def test_missing_and_crashing_probes(self):
        b = self.bundle("Zoë's NUVModule.app")
        os.remove(b.probe)
        m = self.start(b, {"LANG": "C.UTF-8", "LC_ALL": ""})
        self.assertTrue(wait_until(lambda: "missing" in m.log(), FIRST_RUN + SLACK), m.log())
        self.assertTrue(m.running())
        # Not executable; the log names the path as it is, not in ASCII.
        with open(b.probe, "w") as f:
            f.write("#!/bin/sh\n")
        self.assertTrue(wait_until(lambda: "cannot start" in m.log(), 5 + SLACK), m.log())
        self.assertIn("Zoë's NUVModule.app/Resources", m.log())
        # Crashes before printing anything.
        b.set_probe_script(nuvtest.PROBE_TEMPLATE.format(dir=b.control))
        b.set_hook("before", "kill -SEGV $$")
        assert_quiet_run(self, b)
        self.assert_loop_goes_on(b, m)

    def test_daemon_holding_the_output_then_the_bus_dies(self):
        b = self.bundle()
        b.set_output(DEVICE)
        # The probe starts a daemon that inherits its output, and exits.
        b.set_hook("after", "sleep 300 &")
        m = self.start(b)
        self.broadcast(m)
        received = time.time()
        started = float(b.starts()[0][1])
        self.assertLess(received - started, 1.0)
        # The run is over, and so is what it left behind.
        pgid = int(b.starts()[0][0])
        self.assertTrue(wait_until(lambda: not nuvtest.group_members(pgid), 2), m.log())

        # Without its session bus the module ends with a failure, saying so once.
        self.bus.proc.kill()
        limit = 2 + (SLACK if nuvtest.cmake_cache("NUV_SANITIZE") else 0)
        self.assertEqual(m.wait(limit), 1, m.log())
        self.assertEqual(m.log().count("lost the session bus"), 1, m.log())
        self.modules.remove(m)
        m.stop()
        self.assertIsNone(m.sanitizer_report())

    def test_hanging_probe_is_stopped(self):
        b = self.bundle()
        b.set_output(DEVICE)
        # Ignores SIGTERM, and a grandchild keeps the output pipe open.
        b.set_hook("before", "trap '' TERM; sleep 300")
        m = self.start(b)
        self.assertTrue(wait_until(lambda: b.starts(), FIRST_RUN + SLACK))
        b.set_output("")
        b.set_hook("before", None)
        # Nothing for 30 s; then SIGTERM (ignored), SIGKILL 2 s later, an empty
        # run, and the next run 5 s after that.
        self.assertIsNone(self.listener.next(28))
        self.assertTrue(wait_until(lambda: "did not exit" in m.log(), 10), m.log())
        self.assert_loop_goes_on(b, m, timeout=2 + 5)


# A warning of the module as GLib writes it to standard error.
WARNING_LINE = re.compile(r"^\(NUVModule:\d+\): NUVModule-WARNING \*\*: [\d:.]+: (.*)$", re.MULTILINE)


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(next(l for l in f if l.startswith("VmHWM:")).split()[1])


class ProbeStandardErrorTest(ModuleTestCase):
    """The probe's standard error reaches the log only through the module's
    own records, a warning once per text. One module, whose probe in turn
    says the same every run, floods its standard error, and closes it. Runs
    are started by Refresh(), each once the last has ended."""

    def run_probe(self, host, b, m, done):
        n = len(b.starts())
        host.refresh()
        self.assertTrue(wait_until(lambda: len(b.starts()) > n, 5), m.log())
        self.assertTrue(wait_until(done, 5), m.log())

    def stderr_records(self, m, pattern):
        """(warnings, debug messages) of the module that log the probe's stderr."""
        log = m.log()
        return ([t for t in WARNING_LINE.findall(log) if re.match(pattern, t)],
                [t for t in nuvtest.debug_messages(log) if re.match(pattern, t)])

    def test_warned_once_flood_and_closed(self):
        b = self.bundle()
        b.set_output(DEVICE)
        # A pid in the text each run, and a daemon that holds both pipes.
        b.set_hook("after", 'echo "devInfo.NUVModule[$$]: usbmuxd is not running" >&2\n'
                            "sleep 30 &\nexit 69")
        m = self.start(b, {"G_MESSAGES_DEBUG": "NUVModule"})
        host = nuvtest.Host(self.bus)
        self.addCleanup(host.close)
        self.assertTrue(wait_until(host.owner, 5 + SLACK), m.log())
        said = r"probe tool stderr: devInfo\.NUVModule\[\d+\]: usbmuxd is not running$"
        for run in range(1, 4):
            self.run_probe(host, b, m, lambda: sum(map(len, self.stderr_records(m, said))) == run)
            if run == 2:
                fds = fd_count(m.pid)
        self.assertEqual(nuvtest.stack_of(self.broadcast(m, 0))["abc"]["Battery"], "85")
        warnings, debug = self.stderr_records(m, said)
        self.assertEqual((len(warnings), len(debug)), (1, 2), m.log())
        # Nothing of the probe reaches the log but through those records.
        self.assertEqual(m.log().count("usbmuxd is not running"), 3, m.log())
        self.assertEqual(fd_count(m.pid), fds)

        # 10 MiB of standard error per run: the module's peak memory hardly
        # moves, and it keeps answering meanwhile.
        b.set_hook("after", "head -c 10485760 /dev/zero | tr '\\0' x >&2")
        flood = r"probe tool stderr \(its last 4096 of 10485760 bytes\): x{4096}$"
        peak = peak_rss_kib(m.pid)
        for run in range(1, 3):
            n = len(b.starts())
            host.refresh()
            self.assertTrue(wait_until(lambda: len(b.starts()) > n, 5), m.log())
            began = time.monotonic()
            host.devices()
            self.assertLess(time.monotonic() - began, 1.0)
            self.assertTrue(wait_until(lambda: sum(map(len, self.stderr_records(m, flood))) == run,
                                       5), m.log()[-3000:])
        self.assertEqual(tuple(map(len, self.stderr_records(m, flood))), (1, 1))
        # Well below the 10 MiB of one run (sanitizer builds add their own).
        self.assertLess(peak_rss_kib(m.pid) - peak, 5 * 1024)

        # A probe that closes its standard error at once.
        b.set_hook("after", None)
        b.set_hook("before", "exec 2>&-")
        b.set_output(DEVICE.replace("85", "84"))
        host.refresh()
        self.assertEqual(nuvtest.stack_of(self.broadcast(m, 1))["abc"]["Battery"], "84")
        self.assertEqual(fd_count(m.pid), fds)
        self.assertTrue(m.running())


if __name__ == "__main__":
    unittest.main()
