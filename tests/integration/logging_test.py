"""What the module writes: nothing in a steady state at the default level, its
debug messages with --verbose, and --help/--version without starting."""

import os
import subprocess
import time
import unittest

import nuvtest
from nuvtest import TEST_BUNDLE_ID, ModuleTestCase, debug_messages

MODULE = os.path.join(nuvtest.BUNDLE, "NUVModule")
TICK = "--------------------- tick -----------------"


class CommandLineTest(unittest.TestCase):
    def run_module(self, *args):
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent/bus")
        return subprocess.run([MODULE, *args], env=env, capture_output=True, text=True,
                              timeout=10)

    def test_help_and_version_print_and_exit(self):
        version = nuvtest.cmake_cache("CMAKE_PROJECT_VERSION")
        for args, out in ((["--version"], "NUVModule %s\n" % version),
                          (["--help"], "--verbose"),
                          (["-h"], "--version")):
            with self.subTest(args=args):
                done = self.run_module(*args)
                self.assertEqual((done.returncode, done.stderr), (0, ""), done.stdout)
                self.assertIn(out, done.stdout)

    def test_usage_errors_say_so_on_one_line(self):
        for args in (["--bogus"], ["extra"], ["-x", "--version"]):
            with self.subTest(args=args):
                done = self.run_module(*args)
                self.assertEqual(done.returncode, 2, done.stderr)
                lines = done.stderr.splitlines()
                self.assertEqual(lines[1:], ["Try 'NUVModule --help' for more information."])
                self.assertTrue(lines[0].startswith("NUVModule: "), lines)


class SteadyStateTest(ModuleTestCase):
    """Two modules side by side for a minute, each with one device whose
    values never change: one at the default level, one with --verbose."""

    WINDOW = 60.0

    def test_a_minute_with_an_unchanged_device(self):
        quiet_bundle = self.bundle("Quiet.app", TEST_BUNDLE_ID + ".quiet")
        verbose_bundle = self.bundle("Verbose.app", TEST_BUNDLE_ID + ".verbose")
        quiet_bundle.set_output(nuvtest.DEVICE)
        verbose_bundle.set_output(nuvtest.DEVICE)
        quiet = self.start(quiet_bundle)
        verbose = self.start(verbose_bundle, args=["--verbose"])
        self.broadcast(quiet)
        self.broadcast(verbose)
        time.sleep(1.0)
        settled = quiet.log()
        runs_before = len(quiet_bundle.starts())

        time.sleep(self.WINDOW)
        self.assertEqual(quiet.log(), settled)
        self.assertIsNone(self.listener.next(0), "an unchanged device was broadcast again")
        runs = len(quiet_bundle.starts()) - runs_before
        self.assertIn(runs, (11, 12), "probe runs in %d s" % self.WINDOW)
        self.assertEqual(quiet.stop(), 0)
        self.assertEqual(quiet.log(), settled, "the stop wrote something")
        self.assertEqual(debug_messages(settled), [])
        self.assertNotIn(TICK, settled)

        # The same run, verbose: one tick per probe run.
        self.assertEqual(verbose.stop(), 0)
        ticks = debug_messages(verbose.log()).count(TICK)
        self.assertEqual(ticks, len(verbose_bundle.starts()), verbose.log())
        self.assertGreaterEqual(ticks, 12, verbose.log())


if __name__ == "__main__":
    unittest.main()
