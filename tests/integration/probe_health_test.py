"""The probe's battery health from a scripted device's diagnostics relay (TLS,
as a real device turns it on): asked once, repeated from the probe's state
after, absent when refused, never a pairing request. The day's rule is
ProbeReport_test's HealthAskedOnceADayAndPrintedFromTheStateBetween."""

import os
import shutil
import subprocess
import tempfile
import unittest

import nuvtest  # noqa: I100 (selects the GI versions first)
from fakeusbmuxd import FakeUsbmuxd

PROBE = os.path.join(nuvtest.BUILD_DIR, "tools", "devinfo", "devInfo.NUVModule")
TRUSTED = {"DeviceName": "Phone", "_paired": True, "_accepts": True,
           "_battery": {"BatteryCurrentCapacity": 87}}


class ProbeHealthTest(unittest.TestCase):
    def test_asked_once_repeated_from_the_state_and_absent_when_refused(self):
        tmp = tempfile.mkdtemp(prefix="nuv-health-")
        self.addCleanup(shutil.rmtree, tmp, ignore_errors=True)
        entry = {"CycleCount": 412, "NominalChargeCapacity": 2706, "DesignCapacity": 3110}
        muxd = FakeUsbmuxd(tmp, {"aaaa0001": dict(TRUSTED, _battery_entry=entry),
                                 "bbbb0002": TRUSTED,  # refuses the relay
                                 "cccc0003": dict(TRUSTED, _accepts=False, _battery_entry=entry)})
        self.addCleanup(muxd.close)
        env = dict(os.environ, USBMUXD_SOCKET_ADDRESS="UNIX:" + muxd.path, XDG_RUNTIME_DIR=tmp)
        state = os.path.join(tmp, "vemo.Tallyport.NUVModule", "battery-health")

        def run():  # (device, cycle count, max capacity, relay asked)
            before = len(muxd.requests)
            done = subprocess.run([PROBE, "-f"], env=env, capture_output=True, text=True,
                                  timeout=20)
            self.assertEqual((done.returncode, done.stderr), (0, ""))
            keys = dict(line.split("\t") for line in done.stdout.splitlines())
            return (keys["Bonjour"], keys.get("BatteryCycleCount"),
                    keys.get("BatteryMaxCapacity"), muxd.requests[before:].count("StartService"))

        asked = [("aaaa0001", "412", "87", 1), ("bbbb0002", None, None, 1),
                 ("cccc0003", None, None, 0)]  # untrusted: never asked
        self.assertEqual([run() for _ in range(6)],
                         asked + [(u, c, m, 0) for u, c, m, _ in asked])
        self.assertEqual(os.stat(state).st_mode & 0o777, 0o600)
        self.assertEqual([r for r in muxd.requests if "Pair" in r], [])


if __name__ == "__main__":
    unittest.main()
