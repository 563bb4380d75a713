"""Desktop utilities against a real desktop: Xvfb, a private session bus and
the AT-SPI accessibility bus, with small GTK test windows.

Skips (with the reason) when Xvfb, dbus-daemon or the accessibility bus
launcher are missing or cannot be started. Every wait is bounded.
"""

import os
import shutil
import subprocess
import tempfile
import time
import unittest

import nuvtest
from nuvtest import Lines, stop_process

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(nuvtest.BUILD_DIR, "tests", "integration", "helpers", "nuv_desktop_driver")
GTK_WINDOW = os.path.join(HERE, "helpers", "gtk_window.py")
LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
SCREEN_W, SCREEN_H = 1024, 768
PYTHON = "/usr/bin/python3"


class Desktop:
    """Xvfb + session bus + accessibility bus, torn down in reverse order."""

    def __init__(self):
        self.procs = []
        self.bus = None
        self.tmp = tempfile.mkdtemp(prefix="nuv-desktop-")
        os.chmod(self.tmp, 0o700)
        self.env = dict(os.environ)
        for key in ("NO_AT_BRIDGE", "GTK_MODULES", "WAYLAND_DISPLAY"):
            self.env.pop(key, None)
        self.env.update({"XDG_RUNTIME_DIR": self.tmp, "HOME": self.tmp, "GDK_BACKEND": "x11",
                         "XDG_CACHE_HOME": os.path.join(self.tmp, "cache")})

    def spawn(self, argv, stdin=subprocess.DEVNULL):
        """Starts a child of the desktop; returns the first line of its output
        (None after 20 s)."""
        proc = subprocess.Popen(argv, stdin=stdin, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, env=self.env)
        self.procs.append(proc)
        return Lines(proc.stdout).next(20)

    def start(self):
        self.bus = nuvtest.SessionBus()
        self.env = self.bus.env(self.env)
        display = self.spawn(["Xvfb", "-displayfd", "1", "-screen", "0",
                              "%dx%dx24" % (SCREEN_W, SCREEN_H), "-nolisten", "tcp",
                              "+extension", "Composite"])
        if not display:
            raise unittest.SkipTest("Xvfb did not start")
        self.env["DISPLAY"] = ":" + display
        self.procs.append(subprocess.Popen([LAUNCHER, "--launch-immediately"],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                           env=self.env))
        if not nuvtest.wait_until(lambda: self.get_status("IsEnabled") is not None, 10, 0.1):
            raise unittest.SkipTest("accessibility bus launcher did not come up")

    def gdbus(self, *args):
        return subprocess.run(["gdbus", "call", "--session", "-d", "org.a11y.Bus",
                               "-o", "/org/a11y/bus", "-m"] + list(args),
                              capture_output=True, text=True, env=self.env, timeout=10)

    def get_status(self, prop):
        out = self.gdbus("org.freedesktop.DBus.Properties.Get", "org.a11y.Status", prop)
        return "true" in out.stdout if out.returncode == 0 else None

    def set_status(self, prop, value):
        out = self.gdbus("org.freedesktop.DBus.Properties.Set", "org.a11y.Status", prop,
                         "<%s>" % ("true" if value else "false"))
        assert out.returncode == 0, out.stderr

    def window(self, title, color, *geometry):
        line = self.spawn([PYTHON, GTK_WINDOW, title, color, *map(str, geometry)],
                          stdin=subprocess.PIPE)
        if not line or not line.startswith("ready"):
            raise AssertionError("test window %r did not come up" % title)
        fields = dict(item.split("=") for item in line.split()[1:])
        return int(fields["xid"]), int(fields["pid"])

    def stop(self):
        for proc in reversed(self.procs):
            if proc.stdin:
                proc.stdin.close()  # the test windows end with their input
            stop_process(proc, 5)
            if proc.stdout:
                proc.stdout.close()
        if self.bus:
            self.bus.close()
        shutil.rmtree(self.tmp, ignore_errors=True)


def parse(output):
    return dict(line.split("=", 1) for line in output.splitlines() if "=" in line)


@unittest.skipUnless(shutil.which("Xvfb"), "Xvfb is not installed")
@unittest.skipUnless(shutil.which("dbus-daemon"), "dbus-daemon is not installed")
@unittest.skipUnless(os.access(LAUNCHER, os.X_OK), "at-spi2-core's bus launcher is not installed")
class DesktopTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.access(DRIVER, os.X_OK):
            raise AssertionError("desktop driver not built: " + DRIVER)
        cls.desktop = Desktop()
        try:
            cls.desktop.start()
            # Green below, red on top of it; a blue one apart for moving around.
            cls.green = cls.desktop.window("Green Window", "#00ff00", 100, 100, 300, 300)
            cls.red = cls.desktop.window("Red Window", "#ff0000", 150, 150, 200, 200)
            cls.blue = cls.desktop.window("Blue Window", "#0000ff", 600, 400, 150, 150)
        except BaseException:
            cls.desktop.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.desktop.stop()

    def drive(self, *args, env=None):
        out = subprocess.run([DRIVER] + [str(a) for a in args], capture_output=True, text=True,
                             env=env or self.desktop.env, timeout=60)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        return parse(out.stdout)

    # -- accessibility window wrapper --------------------------------------

    def test_wrapper_finds_moves_and_resizes_a_window(self):
        _, pid = self.blue
        self.assertEqual(self.drive("window", pid, "Blue Window", 620, 410, 210, 190), {
            "found": "1", "title": "Blue Window", "role": "window", "pid": str(pid),
            "minimizedOrHidden": "0", "moved": "1", "resized": "1", "topLeft": "620,410",
            "size": "210x190", "movable": "1"})

    def test_window_under_point(self):
        self.assertEqual(self.drive("under", 250, 250)["title"], "Red Window")  # the top one
        self.assertEqual(self.drive("under", 120, 120)["title"], "Green Window")
        # On the red window's button: its containing window.
        self.assertEqual(self.drive("under", 160, 160)["title"], "Red Window")
        self.assertEqual(self.drive("under", 1010, 10)["window"], "0")  # bare screen

    def test_focus_makes_the_window_main_and_focused(self):
        # The blue window stands apart: raising it changes no other test's stacking.
        _, pid = self.blue
        self.assertEqual(self.drive("focus", pid, "Blue Window"), {"focused": "1", "main": "1"})
        self.assertEqual(self.drive("focused"),
                         {"inited": "1", "title": "Blue Window", "pid": str(pid)})

    def test_wrapper_without_accessibility_bus_gives_neutral_results(self):
        env = dict(self.desktop.env, DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent/bus")
        self.assertEqual(self.drive("focused", env=env), {"inited": "0", "title": "", "pid": "0"})
        self.assertEqual(self.drive("under", 250, 250, env=env), {"window": "0"})

    # -- pixel colour sampler ---------------------------------------------

    def color(self, root_x, root_y, window):
        # The sampler takes points with the origin at the lower-left corner.
        return self.drive("color", root_x, SCREEN_H - root_y, window)

    def test_sampler_reads_the_colour_below_a_window(self):
        # Below red: the green window (red excluded), bright, so black stands
        # out. Below green: the bare screen. Below window 2147483647 (-7 in the
        # driver's reading): no such window, white, and the sampler lives on.
        for window, sample, color in ((self.red[0], "00ff00", "000000"),
                                      (self.green[0], "000000", "ffffff"), (-7, None, "ffffff")):
            got = self.color(250, 250, window)
            self.assertEqual((sample and got["sample"], got["color"], got["alive"]),
                             (sample, color, "1"), window)

    # -- accessibility trust ----------------------------------------------

    def start_untrusted(self):
        """The trust driver, started while accessibility is off."""
        self.desktop.set_status("ScreenReaderEnabled", False)
        self.desktop.set_status("IsEnabled", False)
        errors = tempfile.TemporaryFile()
        self.addCleanup(errors.close)
        proc = subprocess.Popen([DRIVER, "trust"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=errors, env=self.desktop.env)
        self.addCleanup(proc.stdout.close)
        self.addCleanup(stop_process, proc, 5)
        proc.lines = Lines(proc.stdout)
        proc.errors = errors
        self.expect(proc, "AXxache before=0")
        self.expect(proc, "state enabled=0 observing=1")
        return proc

    def finish(self, proc):
        """Closes the driver's input; it must then end cleanly (no sanitizer report)."""
        proc.stdin.close()
        status = proc.wait(timeout=10)
        proc.errors.seek(0)
        self.assertEqual(status, 0, proc.errors.read().decode(errors="replace")[-3000:])

    def expect(self, proc, line, timeout=10):
        self.assertEqual(proc.lines.next(timeout), line)

    def test_trust_state_follows_is_enabled_on_the_bus(self):
        proc = self.start_untrusted()
        switched = time.monotonic()
        self.desktop.set_status("IsEnabled", True)
        self.expect(proc, "AXxache before=0")
        self.assertGreaterEqual(time.monotonic() - switched, 0.14)  # 150 ms later
        self.expect(proc, "state enabled=1 observing=0")

        # Trusted: the announcements are no longer followed.
        self.desktop.set_status("IsEnabled", False)
        self.assertIsNone(proc.lines.next(0.6))
        proc.stdin.write(b"recache\n")
        proc.stdin.flush()
        self.expect(proc, "AXxache before=1")
        self.expect(proc, "state enabled=0 observing=0")
        self.finish(proc)

    def test_open_panel_asks_the_desktop_to_enable_accessibility(self):
        proc = self.start_untrusted()
        proc.stdin.write(b"open-panel\n")
        proc.stdin.flush()
        self.expect(proc, "AXxache before=0")
        self.expect(proc, "state enabled=1 observing=0")
        self.assertTrue(self.desktop.get_status("IsEnabled"))
        self.finish(proc)


if __name__ == "__main__":
    unittest.main()
