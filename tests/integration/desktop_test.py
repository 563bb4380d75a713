"""Desktop utilities against a real desktop: Xvfb, a private session bus and
the AT-SPI accessibility bus, with small GTK test windows.

Skips (with the reason) when Xvfb, dbus-daemon or the accessibility bus
launcher are missing or cannot be started. Every wait is bounded.
"""

import os
import subprocess
import tempfile
import unittest

import nuvtest
from nuvtest import Lines, stop_process
from xdesktop import SCREEN_H, DesktopTestCase, requires_display

DRIVER = os.path.join(nuvtest.BUILD_DIR, "tests", "integration", "helpers", "nuv_desktop_driver")


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
        out = nuvtest.run([DRIVER, *args], env or self.desktop.env, 60, check=True)
        return dict(line.split("=", 1) for line in out.stdout.splitlines() if "=" in line)

    # -- accessibility window wrapper --------------------------------------

    def test_wrapper_finds_moves_resizes_and_focuses_a_window(self):
        # The blue window stands apart: raising it changes no other test's stacking.
        _, pid = self.blue
        self.assertEqual(self.drive("window", pid, "Blue Window", 620, 410, 210, 190), {
            "found": "1", "role": "window", "pid": str(pid),
            "minimizedOrHidden": "0", "moved": "1", "resized": "1", "topLeft": "620,410",
            "size": "210x190", "movable": "1", "focus": "1", "main": "1", "inited": "1",
            "focusedTitle": "Blue Window", "focusedPid": str(pid)})

    def test_window_under_point(self):
        # The top one; the one below; on the red window's button: its
        # containing window; the bare screen.
        self.assertEqual(self.drive("under", 250, 250, 120, 120, 160, 160, 1010, 10), {
            "250,250": "Red Window", "120,120": "Green Window", "160,160": "Red Window",
            "1010,10": "(none)"})

    def test_wrapper_without_accessibility_bus_gives_neutral_results(self):
        env = dict(self.desktop.env, DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent/bus")
        self.assertEqual(self.drive("focused", env=env),
                         {"inited": "0", "focusedTitle": "", "focusedPid": "0"})
        self.assertEqual(self.drive("under", 250, 250, env=env), {"250,250": "(none)"})

    # -- pixel colour sampler ---------------------------------------------

    def test_sampler_reads_the_colour_below_a_window(self):
        # Below red: the green window (red excluded), bright, so black stands
        # out. Below green: the bare screen. Below window 2147483647 (-7 in the
        # driver's reading): no such window, white, and the sampler lives on
        # (the driver ends normally).
        for window, sample, color in ((self.red[0], "00ff00", "000000"),
                                      (self.green[0], "000000", "ffffff"), (-7, None, "ffffff")):
            # The sampler takes points with the origin at the lower-left corner.
            got = self.drive("color", 250, SCREEN_H - 250, window)
            self.assertEqual((sample and got["sample"], got["color"]), (sample, color), window)

    # -- accessibility trust ----------------------------------------------

    def test_trust_state_follows_is_enabled_on_the_bus(self):
        # Started while accessibility is off.
        self.desktop.set_status("ScreenReaderEnabled", False)
        self.desktop.set_status("IsEnabled", False)
        errors = tempfile.TemporaryFile()
        self.addCleanup(errors.close)
        proc = subprocess.Popen([DRIVER, "trust"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=errors, env=self.desktop.env)
        self.addCleanup(proc.stdout.close)
        self.addCleanup(stop_process, proc, 5)
        lines = Lines(proc.stdout)

        def expect(before, enabled, observing):
            self.assertEqual([lines.next(10), lines.next(10)], [
                "AXxache before=%d" % before,
                "state enabled=%d observing=%d" % (enabled, observing)])

        def command(line):
            proc.stdin.write(line.encode() + b"\n")
            proc.stdin.flush()

        expect(0, 0, 1)
        self.desktop.set_status("IsEnabled", True)
        expect(0, 1, 0)  # 150 ms later: OrbAccessibilityTest

        # Trusted: the announcements are no longer followed; a recache reads afresh.
        self.desktop.set_status("IsEnabled", False)
        self.assertIsNone(lines.next(0.6))
        command("recache")
        expect(1, 0, 0)

        # Opening the panel asks the desktop to enable accessibility.
        command("open-panel")
        self.assertTrue(nuvtest.wait_until(lambda: self.desktop.get_status("IsEnabled"), 10))
        command("recache")
        expect(0, 1, 0)

        # Its input closed, the driver ends cleanly (no sanitizer report).
        proc.stdin.close()
        status = proc.wait(timeout=10)
        errors.seek(0)
        self.assertEqual(status, 0, errors.read().decode(errors="replace")[-3000:])


if __name__ == "__main__":
    unittest.main()
