"""Desktop utilities against a real desktop: Xvfb, a private session bus and
the AT-SPI accessibility bus, with small GTK test windows.

Skips (with the reason) when Xvfb, dbus-daemon or the accessibility bus
launcher are missing or cannot be started. Every wait is bounded.
"""

import os
import subprocess
import tempfile
import time
import unittest

import nuvtest
from nuvtest import Lines, stop_process
from xdesktop import SCREEN_H, DesktopTestCase, requires_display

DRIVER = os.path.join(nuvtest.BUILD_DIR, "tests", "integration", "helpers", "nuv_desktop_driver")


def parse(output):
    return dict(line.split("=", 1) for line in output.splitlines() if "=" in line)


@requires_display
class DesktopTest(DesktopTestCase):
    PROGRAM = DRIVER

    @classmethod
    def set_up_desktop(cls):
        # Green below, red on top of it; a blue one apart for moving around.
        cls.green = cls.desktop.window("Green Window", "#00ff00", 100, 100, 300, 300)
        cls.red = cls.desktop.window("Red Window", "#ff0000", 150, 150, 200, 200)
        cls.blue = cls.desktop.window("Blue Window", "#0000ff", 600, 400, 150, 150)

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
