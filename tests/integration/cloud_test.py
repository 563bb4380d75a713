"""Battery records end to end: the module writes a device's battery level and
charging state into its record in the embedded cloud database, alongside
`nuvctl records` used as the companion app would."""

import json
import os
import sqlite3
import stat
import time
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
        proc = nuvtest.run([nuvtest.NUVCTL, "records", *args], env)
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

    def test_battery_and_state_reach_the_matching_record(self):
        # (Which record matches, and the dates a save sets: BridgeTest, SqliteCloudStoreTest.)
        mine = self.add("My Phone", "keep me")
        b, m = self.start_device()
        self.assertTrue(wait_until(lambda: self.fields(mine).get("Battery") == 85, self.SLACK),
                        self.records())
        self.assertEqual(self.fields(mine),
                         {"Name": "My Phone", "title": "keep me", "Battery": 85, "state": True})

        # A change of the entry saves again; not charging reads as false.
        self.change(b, m, DEVICE.replace("85", "84%").replace("Charging\t1", "Charging\tNo"))
        self.assertTrue(wait_until(lambda: self.fields(mine).get("state") is False, self.SLACK),
                        self.records())
        self.assertEqual(self.fields(mine)["Battery"], 84)

    def status(self):
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.tmp, "config"))
        return nuvtest.run([nuvtest.NUVCTL, "cloud", "status"], env).stdout

    def test_a_record_added_meanwhile_is_seen_and_files_stay_private(self):
        # (Files an older version left wider: SqliteCloudStoreTest.)
        self.add("Other Phone")  # the file exists before the module starts
        b, m = self.start_device()
        for path in (self.db_path, self.db_path + "-wal", self.db_path + "-shm"):
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600, path)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.dirname(self.db_path)).st_mode), 0o700)

        # A record added while the module runs is known to it within a
        # second: the next changed value lands without a restart.
        mine = self.add("My Phone")
        time.sleep(1.0)
        self.change(b, m, DEVICE.replace("85", "61"))
        self.assertTrue(wait_until(lambda: self.fields(mine).get("Battery") == 61, self.SLACK),
                        m.log())

    def test_a_value_written_while_another_process_locks_the_database_lands_later(self):
        mine = self.add("My Phone")
        b, m = self.start_device()
        self.assertTrue(wait_until(lambda: self.fields(mine).get("Battery") == 85, self.SLACK))

        # Another process holds the write lock for 7 s: the first write waits
        # out the 5 s busy timeout and fails, its retry 5 s later lands (the
        # retry schedule and logging once per failure kind: RecordWriteQueueTest).
        con = sqlite3.connect(self.db_path, timeout=30, isolation_level=None)
        con.execute("BEGIN EXCLUSIVE")
        lock_start = time.monotonic()
        try:
            # Broadcasts go on as usual: each comes right after its probe run.
            for battery in ("70", "69"):
                self.assertEqual(self.change(b, m, DEVICE.replace("85", battery))["abc"]["Battery"],
                                 battery)
                self.assertLess(time.time() - float(b.starts()[-1][1]), 1.5, m.log())
            self.assertTrue(wait_until(lambda: "pending:     1\n" in self.status(), self.SLACK),
                            self.status())
            time.sleep(max(0.0, 7.0 - (time.monotonic() - lock_start)))
        finally:
            con.execute("ROLLBACK")
            con.close()
        self.assertTrue(wait_until(lambda: self.fields(mine).get("Battery") == 69, 10.0 + 2.0),
                        m.log())
        # The status is written just after the record: waited for.
        self.assertTrue(wait_until(lambda: "pending:     0\n" in self.status(), 2), self.status())
        status = self.status()
        self.assertRegex(status, r"last write:  \d{4}-\d\d-\d\dT[\d:]+Z, record %s \(My Phone\)"
                         % mine)

    def test_nuvctl_never_makes_a_database_to_list_or_remove(self):
        for args in (["list"], ["--container", "No.Such.Container", "list"], ["remove", "x"]):
            proc = self.nuvctl(*args, check=False)
            self.assertEqual((proc.returncode, "has no database" in proc.stderr), (1, True), args)
        self.assertFalse(os.path.exists(os.path.dirname(self.db_path)))
        self.add("Phone")
        proc = self.nuvctl("remove", "no-such-record", check=False)
        self.assertEqual((proc.returncode, "no record named" in proc.stderr), (1, True))


if __name__ == "__main__":
    unittest.main()
