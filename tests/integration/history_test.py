"""The battery history of the real module: changes in order through
`nuvctl history --json`, kept across a restart, the stop as a gap in
GetHistory, the health row in GetHealthHistory, the file's modes, a device
gone after a restart still listed and named, an unknown device, a bad --since
and no module. (A corrupt file moved
aside: SqliteHistoryStoreTest.)"""

import json
import os
import stat

import nuvtest  # noqa: I100 (selects the GI versions first)
from gi.repository import GLib
from nuvtest import NUVCTL, ModuleTestCase


def device(battery, charging="0", external="0"):
    return ("Bonjour\tabc\nname\tMy Phone\nBattery\t%s\nCharging\t%s\nExternalConnected\t%s\n"
            "Host Attached\t1\nBatteryCycleCount\t412\nBatteryFullChargeCapacity\t2706\n"
            "BatteryMaxCapacity\t87\n" % (battery, charging, external))


class HistoryTest(ModuleTestCase):
    def setUp(self):
        super().setUp()
        self.file = os.path.join(self.tmp, "state", "NUVModule", "history.sqlite")

    def nuvctl(self, *args):
        return nuvtest.run([NUVCTL, "history", *args], self.bus.env())

    def rows(self, *args):
        done = self.nuvctl("--json", *args)
        self.assertEqual(done.returncode, 0, done.stderr)
        return [(r["battery"], r["charging"], r["external"]) for r in json.loads(done.stdout)]

    def test_changes_in_order_kept_across_a_restart_with_the_stop_as_a_gap(self):
        done = self.nuvctl()
        self.assertEqual((done.returncode, done.stderr), (1, "nuvctl history: no module is running\n"))
        b, m = self.start_device(device(85, charging="1", external="1"))
        self.change(b, m, device(86, charging="1", external="1"))
        self.change(b, m, device(86, charging="0", external="1"))
        self.change(b, m, device(86))
        self.change(b, m, device(86).replace("Host Attached\t1", "Host Attached\t0"))  # no row
        written = [(85, True, True), (86, True, True), (86, False, True), (86, False, False)]
        self.assertTrue(nuvtest.wait_until(lambda: self.rows("abc") == written, 5),
                        self.rows("abc"))
        self.assertEqual(self.rows("--since", "90m", "My Phone"), written)
        self.assertEqual(self.rows(), written)  # every device, last 24 hours
        health, = self.host.call("GetHealthHistory", GLib.Variant("(sx)", ("abc", 0)),
                                 reply="(a(xiiii))").unpack()
        self.assertEqual({r[1:] for r in health}, {(412, 2706, -1, 87)})  # one a day

        m.stop()
        m = self.start(b)
        self.broadcast(m)
        # Back with the value it had: one row where the line resumes.
        self.assertTrue(nuvtest.wait_until(lambda: len(self.rows("abc")) == 5, 5))
        self.assertEqual(self.rows("abc")[:4], written)
        samples, gaps = self.host.call("GetHistory", GLib.Variant("(sx)", ("abc", 0)),
                                       reply="(a(xybb)a(xx))").unpack()
        self.assertEqual([s[1:] for s in samples], [(85, 1, 1), (86, 1, 1), (86, 0, 1),
                                                    (86, 0, 0), (86, 0, 0)])
        self.assertEqual(len(gaps), 1, gaps)
        self.assertTrue(samples[3][0] < gaps[0][0] < gaps[0][1] < samples[4][0], (samples, gaps))

        self.assertEqual(stat.S_IMODE(os.stat(os.path.dirname(self.file)).st_mode), 0o700)
        self.assertEqual(stat.S_IMODE(os.stat(self.file).st_mode), 0o600)

        # Restarted without it: still listed, and found by the name it had.
        m.stop()
        b.set_output(device(20).replace("abc", "def").replace("My Phone", "Other"))
        m = self.start(b)
        self.broadcast(m)
        self.assertTrue(nuvtest.wait_until(lambda: len(self.rows()) == 6, 5), self.rows())
        self.assertEqual(self.rows("My Phone"), self.rows("abc"))
        self.assertRegex(self.nuvctl().stdout, r"(?s)^My Phone \(abc\)\n.*\nOther \(def\)\n")
        self.assertEqual(self.rows("nosuch"), [])
        for since in ("5x", "yesterday", "3 days"):
            done = self.nuvctl("--since", since)
            self.assertEqual(done.returncode, 2, since)
            self.assertIn("--since", done.stderr)
