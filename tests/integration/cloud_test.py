"""Battery records end to end: the module writes a device's battery level and
charging state into its record in the embedded cloud database, alongside
`nuvctl records` used as the companion app would, and survives a broken
database file."""

import json
import os
import subprocess
import unittest

import nuvtest
from nuvtest import DEVICE, ModuleTestCase, wait_until

CONTAINER_FILE = os.path.join("vemo.Tallyport.NUVModule", "cloud",
                              "iCloud.vemo.voltaline.Voltaline.sqlite")


class CloudRecordsTest(ModuleTestCase):
    SLACK = 6.0  # sanitizer builds on a loaded machine

    def setUp(self):
        super().setUp()
        self.data_home = os.path.join(self.tmp, "data")  # the module's XDG_DATA_HOME
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

    def fields(self, name):
        return self.records()[name]["fields"]

    def add(self, name, title=None):
        args = ["add", "--name", name] + (["--title", title] if title else [])
        return self.nuvctl(*args).stdout.strip()

    def test_battery_and_state_reach_the_matching_record_only(self):
        mine = self.add("My Phone", "keep me")
        other = self.add("my phone")  # differs in letter case: not a match
        before = self.records()
        b, m = self.start_device()

        self.assertTrue(wait_until(lambda: self.fields(mine).get("Battery") == 85, self.SLACK),
                        self.records())
        after = self.records()
        self.assertEqual(after[mine]["fields"],
                         {"Name": "My Phone", "title": "keep me", "Battery": 85, "state": True})
        self.assertEqual(after[mine]["created"], before[mine]["created"])
        self.assertGreater(after[mine]["modifiedMicroseconds"],
                           before[mine]["modifiedMicroseconds"])
        self.assertEqual(after[other], before[other])

        # A change of the entry saves again; not charging reads as false.
        b.set_output(DEVICE.replace("85", "84%").replace("Charging\t1", "Charging\tNo"))
        self.broadcast(m)
        self.assertTrue(wait_until(lambda: self.fields(mine).get("state") is False, self.SLACK),
                        self.records())
        self.assertEqual(self.fields(mine)["Battery"], 84)
        self.assertTrue(m.running(), m.log())

    def test_nuvctl_writes_while_the_module_runs(self):
        mine = self.add("My Phone")
        b, m = self.start_device()

        # Records added and removed meanwhile do not disturb the module's saves.
        added = [self.add("Tablet %d" % i) for i in range(10)]
        self.nuvctl("remove", added[0])
        b.set_output(DEVICE.replace("85", "70"))
        self.broadcast(m)
        self.assertTrue(wait_until(lambda: self.fields(mine).get("Battery") == 70, self.SLACK),
                        self.records())
        records = self.records()
        self.assertEqual(len(records), 10)
        self.assertFalse([n for n in added[1:] if "Battery" in records[n]["fields"]])
        self.assertTrue(m.running(), m.log())

    def test_corrupt_database_does_not_stop_the_module(self):
        os.makedirs(os.path.dirname(self.db_path))
        junk = b"this is not a database" * 500
        with open(self.db_path, "wb") as f:
            f.write(junk)
        b, m = self.start_device()
        b.set_output(DEVICE.replace("85", "60"))
        self.broadcast(m)
        self.assertTrue(m.running(), m.log())
        with open(self.db_path, "rb") as f:
            self.assertEqual(f.read(), junk)  # left as it was, not overwritten

        proc = self.nuvctl("list", check=False)
        self.assertEqual((proc.returncode, "not a database" in proc.stderr), (1, True))

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
        self.assertEqual((proc.returncode, "no record named" in proc.stderr), (1, True))
        self.assertEqual(self.records(), {})


if __name__ == "__main__":
    unittest.main()
