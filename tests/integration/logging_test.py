"""What the module writes: nothing in a steady state at the default level, its
debug messages with --verbose, and --help/--version without starting."""

import os
import time
import unittest

import nuvtest
from nuvtest import TEST_BUNDLE_ID, ModuleTestCase, log_records, wait_until

MODULE = os.path.join(nuvtest.BUNDLE, "NUVModule")
TICK = "--------------------- tick -----------------"


class CommandLineTest(unittest.TestCase):
    def test_help_and_version_print_and_usage_errors_say_so_on_one_line(self):
        version = nuvtest.cmake_cache("CMAKE_PROJECT_VERSION")
        usage = "Try 'NUVModule --help' for more information."
        for args, status, out, err in (
                (["--version"], 0, "NUVModule %s\n" % version, ""), (["-h"], 0, "--verbose", ""),
                (["--bogus"], 2, "", usage), (["extra"], 2, "", usage),
                (["-x", "--version"], 2, "", usage)):
            with self.subTest(args=args):
                done = nuvtest.run([MODULE, *args],
                                   dict(os.environ, DBUS_SESSION_BUS_ADDRESS="none:"))
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(out, done.stdout)
                lines = done.stderr.splitlines()
                self.assertEqual(lines[1:], [usage] if err else [])
                self.assertTrue(not err or lines[0].startswith("NUVModule: "), lines)


class SteadyStateTest(ModuleTestCase):
    """Two modules side by side, each with one device whose values never
    change: one at the default level, one with --verbose. Once started, the
    first writes nothing; the second writes one tick per probe run."""

    WINDOW = 11.0  # two poll runs

    def test_an_unchanged_device(self):
        runs = []
        for name, args in (("Quiet", []), ("Verbose", ["--verbose"])):
            b = self.bundle(name + ".app", TEST_BUNDLE_ID + "." + name, nuvtest.DEVICE)
            runs.append((b, self.start(b, args=args)))
        (quiet_bundle, quiet), (verbose_bundle, verbose) = runs
        self.broadcast(quiet)
        self.broadcast(verbose)
        # The USB watcher's text is rare, so it is at the default level.
        self.assertTrue(wait_until(lambda: "Starting run loop." in log_records(quiet.log(),
                                                                               "Message"), 2))
        time.sleep(0.5)
        settled = quiet.log()
        runs_before = len(quiet_bundle.starts())

        time.sleep(self.WINDOW)
        self.assertEqual(quiet.log(), settled)
        self.assertIsNone(self.listener.next(0), "an unchanged device was broadcast again")
        self.assertEqual(len(quiet_bundle.starts()) - runs_before, 2)
        self.assertEqual(quiet.stop(), 0)
        self.assertEqual(quiet.log(), settled, "the stop wrote something")
        self.assertEqual(log_records(settled, "DEBUG"), [])
        self.assertNotIn(TICK, settled)

        # The same run, verbose: one tick per probe run.
        self.assertEqual(verbose.stop(), 0)
        ticks = log_records(verbose.log(), "DEBUG").count(TICK)
        self.assertEqual(ticks, len(verbose_bundle.starts()), verbose.log())
        self.assertGreaterEqual(ticks, 3, verbose.log())


if __name__ == "__main__":
    unittest.main()
