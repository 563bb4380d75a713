"""The battery history of the real module: changes in order through
`nuvctl history --json`, kept across a restart, the stop as a gap in
GetHistory, the health row in GetHealthHistory, the file's modes, a device
gone after a restart still listed and named, an unknown device, a bad --since
and no module; `nuvctl health` of a device with health rows only, with its
projection. (A corrupt file moved aside: SqliteHistoryStoreTest.)"""

import datetime
import json
import os
import sqlite3
import stat
import time

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

    def test_health_rows_and_their_projection_of_a_device_known_by_them_alone(self):
        m = self.start(self.bundle())
        self.assertTrue(nuvtest.wait_until(lambda: os.path.exists(self.file), 5), m.log())
        db = sqlite3.connect(self.file)
        self.addCleanup(db.close)
        self.assertTrue(nuvtest.wait_until(lambda: db.execute(
            "SELECT 1 FROM sqlite_master WHERE name = 'health'").fetchall(), 5), m.log())
        # Every fourth day for 40 days, a point lower each time: the line
        # through them reaches 80% 60 days after the first.
        day, first = 86400 * 10**6, int(time.time() * 1e6) - 41 * 86400 * 10**6
        with db:
            db.execute("INSERT INTO devices(id, bonjour) VALUES(7, 'abc')")
            db.execute("INSERT INTO names VALUES(7, 'My Phone')")
            db.executemany("INSERT INTO health VALUES(7, ?, ?, ?, 2815, ?, ?)",
                           [((first + 4 * i * day) // day, first + 4 * i * day, 300 + i,
                             None if i == 1 else 3279, 95 - i) for i in range(11)])
        expected = (datetime.datetime.fromtimestamp(first / 1e6, datetime.timezone.utc)
                    + datetime.timedelta(days=60)).strftime("%Y-%m-%d")
        health = lambda *args: nuvtest.run([NUVCTL, "health", *args], self.bus.env())
        done = health("--json", "My Phone")
        self.assertEqual(done.returncode, 0, done.stderr)
        rows = json.loads(done.stdout)
        self.assertEqual(len(rows), 11)
        self.assertEqual(rows[1], {"time": rows[1]["time"], "cycle_count": 301,
                                   "full_charge_capacity_mah": 2815, "design_capacity_mah": None,
                                   "max_capacity_percent": 94, "device": "abc",
                                   "projected_80_percent": expected})
        self.assertEqual({r["projected_80_percent"] for r in rows}, {expected})
        # The last week alone is too short a trend.
        recent = json.loads(health("--json", "--since", "7d", "abc").stdout)
        self.assertEqual([(r["cycle_count"], r["projected_80_percent"]) for r in recent],
                         [(309, None), (310, None)])
        text = health().stdout
        self.assertRegex(text, r"^My Phone \(abc\)\n  TIME +CYCLES +FULL CHARGE +DESIGN +MAX "
                               r"CAPACITY\n  \S+Z +300 +2.?815 mAh +3.?279 mAh +95%\n")
        self.assertIn("  Expected to reach 80%% maximum capacity around %s (from 40 days of "
                      "readings)\n" % expected, text)
        self.assertIn(" -  ", text)
