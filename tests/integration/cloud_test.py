"""Battery records end to end: the module writes a device's battery level and
charging state into its record in the embedded cloud database, alongside
`nuvctl records` used as the companion app would, and survives a broken
database file."""

import json
import os
import subprocess
import time
import unittest

import nuvtest
from nuvtest import ModuleTestCase, wait_until

DEVICE = "Bonjour\tabc\nname\tMy Phone\nBattery\t85\nCharging\t1\nHost Attached\t1\n"
FIRST_RUN = 5.0
SLACK = 6.0  # sanitizer builds on a loaded machine
CONTAINER_FILE = os.path.join("vemo.Tallyport.NUVModule", "cloud",
                              "iCloud.vemo.voltaline.Voltaline.sqlite")


class CloudRecordsTest(ModuleTestCase):
    def setUp(self):
        super().setUp()
        # Module.__init__ points XDG_DATA_HOME here as well.
        self.data_home = os.path.join(self.tmp, "data")
        self.db_path = os.path.join(self.data_home, CONTAINER_FILE)

    def nuvctl(self, *args, check=True):
        env = dict(os.environ, XDG_DATA_HOME=self.data_home)
        proc = subprocess.run([nuvtest.NUVCTL, "records", *args], env=env, capture_output=True,
                              text=True, timeout=30)
        if check:
            self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc

    def records(self):
        return {r["recordName"]: r for r in json.loads(self.nuvctl("list", "--json").stdout)}

    def add(self, name, title=None):
        args = ["add", "--name", name] + (["--title", title] if title else [])
        return self.nuvctl(*args).stdout.strip()

    def test_battery_and_state_reach_the_matching_record_only(self):
        mine = self.add("My Phone", "keep me")
        other = self.add("my phone")  # differs in letter case: not a match
        before = self.records()

        b = self.bundle()
        b.set_output(DEVICE)
        m = self.start(b)
        self.assertIsNotNone(self.listener.next(FIRST_RUN + SLACK), m.log())

        def saved():
            fields = self.records()[mine]["fields"]
            return fields.get("Battery") == 85 and fields.get("state") is True

        self.assertTrue(wait_until(saved, SLACK), self.records())
        after = self.records()
        self.assertEqual(after[mine]["fields"],
                         {"Name": "My Phone", "title": "keep me", "Battery": 85, "state": True})
        self.assertEqual(after[mine]["created"], before[mine]["created"])
        self.assertGreater(after[mine]["modifiedMicroseconds"],
                           before[mine]["modifiedMicroseconds"])
        self.assertEqual(after[other], before[other])

        # A change of the entry saves again; not charging reads as false.
        b.set_output(DEVICE.replace("85", "84%").replace("Charging\t1", "Charging\tNo"))
        self.assertIsNotNone(self.listener.next(5 + SLACK), m.log())
        self.assertTrue(wait_until(
            lambda: self.records()[mine]["fields"].get("Battery") == 84 and
            self.records()[mine]["fields"].get("state") is False, SLACK), self.records())
        self.assertTrue(m.running(), m.log())

    def test_nuvctl_writes_while_the_module_runs(self):
        mine = self.add("My Phone")
        b = self.bundle()
        b.set_output(DEVICE)
        m = self.start(b)
        self.assertIsNotNone(self.listener.next(FIRST_RUN + SLACK), m.log())

        # Records added and removed meanwhile do not disturb the module's saves.
        added = [self.add("Tablet %d" % i) for i in range(10)]
        self.nuvctl("remove", added[0])
        b.set_output(DEVICE.replace("85", "70"))
        self.assertIsNotNone(self.listener.next(5 + SLACK), m.log())
        self.assertTrue(wait_until(
            lambda: self.records()[mine]["fields"].get("Battery") == 70, SLACK), self.records())
        records = self.records()
        self.assertEqual(len(records), 10)
        for name in added[1:]:
            self.assertNotIn("Battery", records[name]["fields"])

        self.assertTrue(m.running(), m.log())
        self.bus.emit("vemo.Tallyport.kill")
        self.assertEqual(m.wait(10), 0, m.log())

    def test_corrupt_database_does_not_stop_the_module(self):
        os.makedirs(os.path.dirname(self.db_path))
        junk = b"this is not a database" * 500
        with open(self.db_path, "wb") as f:
            f.write(junk)
        b = self.bundle()
        b.set_output(DEVICE)
        m = self.start(b)
        self.assertIsNotNone(self.listener.next(FIRST_RUN + SLACK), m.log())
        b.set_output(DEVICE.replace("85", "60"))
        self.assertIsNotNone(self.listener.next(5 + SLACK), m.log())
        self.assertTrue(m.running(), m.log())
        with open(self.db_path, "rb") as f:
            self.assertEqual(f.read(), junk)  # left as it was, not overwritten

        proc = self.nuvctl("list", check=False)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("not a database", proc.stderr)

        # Ending the module with a worker around is clean.
        self.bus.emit("vemo.Tallyport.kill")
        self.assertEqual(m.wait(10), 0, m.log())

    def test_nuvctl_rejects_bad_input(self):
        for args in (["add"], ["add", "--name", ""], ["add", "--name", "x", "extra"],
                     ["remove"], ["remove", "a", "b"], ["list", "--yaml"], ["frobnicate"], []):
            proc = self.nuvctl(*args, check=False)
            self.assertEqual(proc.returncode, 2, args)
            self.assertIn("Usage: nuvctl records", proc.stderr)
        proc = self.nuvctl("remove", "no-such-record", check=False)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("no record named", proc.stderr)
        self.assertEqual(self.records(), {})


if __name__ == "__main__":
    unittest.main()
