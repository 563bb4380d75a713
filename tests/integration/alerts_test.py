"""nuv-devices --background: battery alerts from the real module's map, told
to python-dbusmock's notification daemon, on a private desktop (Xvfb and
session bus). NUV_ALERT_TIME_SCALE=100 makes the minute of "needs trust" and
the ten minutes of "not charging" 0.6 s and 6 s; the unit tests hold the
exact boundaries on the virtual clock.
"""

import os
import stat
import subprocess
import time
import unittest

import nuvtest
from devices_window_test import WINDOW, WindowTestCase, device, keyed
from gi.repository import Gio, GLib
from nuvtest import stop_process
from xdesktop import PYTHON, requires_display

APP_ID = "vemo.Tallyport.NUVDevices"
SCREENSHOT = os.path.join(nuvtest.BUILD_DIR, "screenshots", "preferences.png")
NOTIFY_PATH = "/org/freedesktop/Notifications"
SETTLE = 8.0        # longer than every scaled delay

LOW = device("u-low", "Low Phone", "15")
FULL = device("u-full", "Full Pad", "100", ExternalConnected="1", FullyCharged="1")
STUCK = device("u-stuck", "Stuck Pod", "50", ExternalConnected="1", FullyCharged="0")
LOCKED = device("u-locked", "Locked Phone", trusted="0")
TITLES = ["Full Pad is charged", "Low Phone: battery low", "Stuck Pod is not charging",
          "Unlock Locked Phone and tap Trust"]


@requires_display
class AlertsTest(WindowTestCase):
    def setUp(self):
        super().setUp()
        self.env.update(NUV_ALERT_TIME_SCALE="100", XDG_STATE_HOME=os.path.join(self.tmp, "state"),
                        **nuvtest.settings_env(os.path.join(self.tmp, "config")))
        self.bus = nuvtest.connect(self.desktop.bus.address)
        self.addCleanup(self.bus.close_sync, None)

    def notification_daemon(self):
        daemon = subprocess.Popen([PYTHON, "-m", "dbusmock", "--template", "notification_daemon"],
                                  env=self.desktop.env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, daemon, 5)
        self.assertTrue(nuvtest.wait_until(lambda: self.mock("GetCalls") is not None, 10))

    def mock(self, method, args=None):
        """A call of the daemon's mock interface; None while it is not there."""
        try:
            return self.bus.call_sync("org.freedesktop.Notifications", NOTIFY_PATH,
                                      "org.freedesktop.DBus.Mock", method, args, None,
                                      Gio.DBusCallFlags.NO_AUTO_START, 5000, None).unpack()
        except GLib.Error:
            return None

    def calls(self, method):
        """The arguments of each call of `method` the daemon has had."""
        return [args for _, name, args in self.mock("GetCalls")[0] if name == method]

    def click(self, title):
        """The daemon says the notification titled `title` was clicked."""
        notes = self.calls("Notify")  # the daemon numbers them from 1
        number = 1 + next(i for i, args in enumerate(notes) if args[3] == title)
        self.mock("EmitSignal", GLib.Variant("(sssav)", (
            "org.freedesktop.Notifications", "ActionInvoked", "us",
            [GLib.Variant("u", number), GLib.Variant("s", "default")])))

    def titles(self):
        return sorted(args[3] for args in self.calls("Notify"))

    def start_app(self):
        app = self.open_window("--background")
        if not nuvtest.wait_until(lambda: nuvtest.call_bus(
                self.bus, "NameHasOwner", GLib.Variant("(s)", (APP_ID,)))[0], 30):
            self.fail("nuv-devices did not take its name:\n" + app.log())
        return app

    def wait_titles(self, titles, app, timeout=SETTLE + nuvtest.SLACK):
        if not nuvtest.wait_until(lambda: self.titles() == sorted(titles), timeout, 0.1):
            self.fail("told %s, not %s\n%s" % (self.titles(), sorted(titles), app.log()))

    def test_each_kind_once_not_again_after_a_restart_and_the_settings_followed(self):
        self.notification_daemon()
        self.host.start(keyed(LOW, FULL, STUCK, LOCKED))
        app = self.start_app()
        self.wait_titles(TITLES, app)
        low = next(args for args in self.calls("Notify") if args[3].startswith("Low"))
        self.assertEqual((low[4], low[5]), ("15% left. Connect it to a charger.", ["default", ""]))

        # Charging withdraws the low alert (flapping is BatteryAlertRules_test's).
        self.host.publish(keyed(dict(LOW, Charging="1"), FULL, STUCK, LOCKED))
        self.assertTrue(nuvtest.wait_until(lambda: self.calls("CloseNotification"), 5))
        self.assertEqual(self.titles(), sorted(TITLES))

        # A click on an alert opens its device's page in the background app.
        self.click("Full Pad is charged")
        app.wait(lambda v: ("image", "Battery history of Full Pad") in v.named, 30, "the page")

        # The same alerts after a restart: none again.
        self.assertEqual(app.close(), [])
        state = os.path.join(self.tmp, "state", "nuv-devices", "alerts")
        self.assertEqual(stat.S_IMODE(os.stat(state).st_mode), 0o600)
        app = self.start_app()
        time.sleep(SETTLE)
        self.assertEqual(self.titles(), sorted(TITLES), app.log())

        # A lower charge target tells at once about a device charging above it.
        charging = device("u-charging", "Charging Phone", "85", "1")
        self.host.publish(keyed(dict(LOW, Charging="1"), FULL, STUCK, LOCKED, charging))
        time.sleep(1)
        self.gsettings("charge-target", "80")
        self.wait_titles(TITLES + ["Charging Phone is charged"], app)

        autostart = os.path.join(self.tmp, "config", "autostart", APP_ID + ".desktop")
        self.assertIn("--background\n", nuvtest.read(autostart))  # no entry for every user here
        self.gsettings("start-at-login", "false")
        self.assertTrue(nuvtest.wait_until(lambda: "\nHidden=true\n" in nuvtest.read(autostart), 5))

    def test_without_a_notification_service_the_app_goes_on_and_opens_its_window(self):
        self.host.start(keyed(LOW))
        app = self.start_app()
        again = nuvtest.run([WINDOW], self.env)
        self.assertEqual((again.returncode, again.stdout + again.stderr), (0, ""))
        app.wait(lambda v: "Low Phone" in v.labels, 30, "the window")
        self.assertEqual(app.log().count("no notification service on the session bus"), 1)

        self.activate("preferences")
        app.wait(lambda v: "Low battery level" in v.labels, 30, "the window")
        self.desktop.screenshot(SCREENSHOT)
        self.assertIsNone(app.proc.poll())

    def test_in_german_the_alert_the_window_its_row_and_preferences(self):
        """From the build tree's catalogue, in a German locale of the test's own; the
        other tests show the same texts in English under C."""
        self.env.update(nuvtest.locale_env(os.path.join(self.tmp, "locales"), "de_DE"))
        self.notification_daemon()
        self.host.start(keyed(LOW))
        app = self.start_app()
        self.wait_titles(["Low Phone: Akku fast leer"], app)
        note = self.calls("Notify")[0]
        self.assertEqual((note[0], note[4]), (  # the application's name, the body
            "NUVModule-Geräte", "Noch 15\u00a0%. Schließen Sie das Gerät an ein Ladegerät an."))

        app.devices = "Geräte"
        self.activate("preferences")
        view = app.wait(lambda v: v.rows and "Niedriger Akkustand" in v.labels, 30, "the window")
        self.assertEqual(sorted(n for r, n in view.named if r == "frame"),
                         ["Einstellungen", "NUVModule-Geräte"])
        self.assertEqual([(r["name"], r["description"], r["images"], r["texts"][1:])
                          for r in view.rows],
                         [("Low Phone", "15\u00a0%, per USB angeschlossen, gerade eben geändert",
                           ["iPhone", "Lädt nicht"],
                           ["Per USB angeschlossen \u00b7 gerade eben geändert", "15\u00a0%"])])
        for text in ("1 Gerät", "Benachrichtigungen", "Gerät lädt nicht", "Benachrichtigen, wenn "
                     "ein Gerät angeschlossen ist, aber seit 10 Minuten nicht geladen hat"):
            self.assertIn(text, view.labels)

    def gsettings(self, key, value):
        nuvtest.run(["gsettings", "set", APP_ID, key, value], self.env, check=True)


if __name__ == "__main__":
    unittest.main()
