"""The shared-cloud backend end to end: the built module, configured by
cloud.conf for CloudKit, against the local fake CloudKit server
(fakecloudkit.py), with a scripted probe; and `nuvctl cloud`."""

import os
import stat
import subprocess
import unittest
import urllib.parse

import nuvtest
from nuvtest import DEVICE, ModuleTestCase, wait_until

SLACK = 6.0  # sanitizer builds on a loaded machine
API_TOKEN = nuvtest.CLOUDKIT_API_TOKEN


def todo(name, device):
    return {"recordName": name, "fields": {"Name": {"value": device, "type": "STRING"},
                                           "title": {"value": "t-" + name, "type": "STRING"},
                                           "Battery": {"value": 10, "type": "INT64"}}}


class CloudKitBackendTest(ModuleTestCase):
    SLACK = SLACK

    def setUp(self):
        super().setUp()
        self.server = nuvtest.FakeCloudKit()
        self.addCleanup(self.server.close)  # after the module has stopped
        self.endpoint, self.control = self.server.endpoint, self.server.control
        self.token = self.control("reset", {"apiToken": API_TOKEN})["token"]
        self.config_home = os.path.join(self.tmp, "config")
        self.conf_dir = nuvtest.write_cloud_config(self.config_home, self.endpoint)
        self.token_path = os.path.join(self.conf_dir, "webauth.token")
        self.write_token(self.token)

    def write_token(self, token):
        nuvtest.write_whole(self.token_path, token + "\n", 0o600)

    def stored_token(self):
        try:
            return nuvtest.read(self.token_path).strip()
        except FileNotFoundError:
            return None

    def server_records(self):
        return self.control("state")["records"]["development"]

    def modifies(self):
        return [r["body"] for r in self.control("state")["requests"] if r["op"] == "records/modify"]

    def nuvctl(self, *args, stdin=None):
        env = dict(os.environ, XDG_CONFIG_HOME=self.config_home)
        return nuvtest.run([nuvtest.NUVCTL, "cloud", *args], env, input=stdin)

    def assert_no_secrets(self, text):
        self.assertNotIn(API_TOKEN, text)
        self.assertNotIn(urllib.parse.quote(API_TOKEN, safe=""), text)
        current = self.control("state")
        for t in [current["token"]] + current["spent"]:
            self.assertNotIn(t, text)

    def test_battery_reaches_the_shared_record_and_the_token_survives_a_restart(self):
        # More records than one page: the device's record is on the second.
        records = [todo("R%03d" % i, "Other %d" % i) for i in range(250)]
        records[230] = todo("R230", "My Phone")
        self.control("seed", {"records": records})
        b, m = self.start_device()

        def saved(battery, state):
            fields = self.server_records()["R230"]["fields"]
            return fields["Battery"]["value"] == battery and fields["state"]["value"] == state

        self.assertTrue(wait_until(lambda: saved(85, 1), SLACK), m.log())
        # Exactly the two fields, as a forceUpdate; the server keeps the rest.
        (modify,) = self.modifies()
        op = modify["operations"][0]
        self.assertEqual((op["operationType"], op["record"]["recordName"]), ("forceUpdate", "R230"))
        self.assertEqual(op["record"]["fields"], {"Battery": {"value": 85, "type": "INT64"},
                                                  "state": {"value": 1, "type": "INT64"}})
        self.assertEqual(self.server_records()["R230"]["fields"]["title"]["value"], "t-R230")
        self.assertTrue(wait_until(
            lambda: self.stored_token() == self.control("state")["token"], SLACK))
        self.assertEqual(stat.S_IMODE(os.stat(self.token_path).st_mode), 0o600)

        # A restarted module goes on with the rotated token.
        self.assertEqual(m.stop(), 0, m.log())
        m2 = self.start(b)
        self.change(b, m2, DEVICE.replace("85", "40").replace("Charging\t1", "Charging\t0"))
        self.assertTrue(wait_until(lambda: saved(40, 0), SLACK), m2.log())
        self.assert_no_secrets(m.log() + m2.log())

    def test_signed_out_module_runs_on_and_nuvctl_signs_in_and_out(self):
        self.control("seed", {"records": [todo("A", "My Phone")]})
        self.write_token("stale-token-from-last-month")
        b, m = self.start_device()
        self.change(b, m, DEVICE.replace("85", "84"))
        self.assertIsNone(self.stored_token())  # the spent token is gone
        self.assertEqual(self.modifies(), [])
        # Logged on the worker after the token is dropped: waited for.
        wait_until(lambda: "AUTHENTICATION_REQUIRED" in m.log(), SLACK)
        self.assertEqual(m.log().count("AUTHENTICATION_REQUIRED"), 1, m.log())
        self.assertNotIn("stale-token", m.log())

        status = self.nuvctl("status")
        self.assertEqual(status.returncode, 0, status.stderr)
        for text in ("backend:     cloudkit", "signed in:   no", "AUTHENTICATION_REQUIRED",
                     "nuvctl cloud login"):
            self.assertIn(text, status.stdout)

        # Interactive sign-in: the URL from the service, then the pasted callback.
        current = self.control("state")["token"]
        callback = "https://app.example/cb?ckWebAuthToken=" + urllib.parse.quote(current, safe="")
        login = self.nuvctl("login", stdin=callback + "\n")
        self.assertEqual(login.returncode, 0, login.stdout + login.stderr)
        self.assertIn("/signin", login.stdout)
        self.assertIn("Signed in.", login.stdout)
        # Told by nuvctl, the module fetches at once: the next change is written.
        self.change(b, m, DEVICE.replace("85", "83"))
        self.assertTrue(wait_until(
            lambda: self.server_records()["A"]["fields"]["Battery"]["value"] == 83, SLACK),
            m.log())
        self.assertTrue(wait_until(
            lambda: self.stored_token() == self.control("state")["token"], SLACK))
        status = self.nuvctl("status", "--check")
        for text in ("signed in:   yes", "check:       ok", "to do:       nothing"):
            self.assertIn(text, status.stdout)

        self.assertEqual(self.nuvctl("logout").returncode, 0)
        self.assertIsNone(self.stored_token())
        # A token the server refuses fails the sign-in (callback forms: unit tests).
        self.assertEqual(self.nuvctl("login", "ckSession=made-up").returncode, 1)
        self.assertIsNone(self.stored_token())

        self.assert_no_secrets(m.log() + status.stdout + login.stdout + login.stderr)
        self.assertEqual(self.nuvctl("frobnicate").returncode, 2)

    def test_unusable_settings_leave_the_module_running_and_status_names_the_fix(self):
        nuvtest.write_whole(os.path.join(self.conf_dir, "cloud.conf"), "[cloud]\nbackend=cloudkit\n"
                            "api_token=%s\nendpoint=http://example.com\n" % API_TOKEN)
        _, m = self.start_device()
        self.assertTrue(m.running(), m.log())
        self.assertEqual(self.control("state")["requests"], [])
        status = self.nuvctl("status")
        self.assertIn("to do:       fix cloud.conf: endpoint must be an https URL", status.stdout)
        self.assertNotIn(API_TOKEN, m.log() + status.stdout)
        # A backend nobody knows: said so, and a failure.
        nuvtest.write_whole(os.path.join(self.conf_dir, "cloud.conf"), "[cloud]\nbackend=icloud\n")
        status = self.nuvctl("status")
        self.assertEqual(status.returncode, 1, status.stdout)
        self.assertIn("names an unknown backend", status.stderr)

    def test_a_bundle_without_the_plugin_runs_on_and_says_why(self):
        b = self.bundle()
        os.remove(os.path.join(b.path, "PlugIns", "NUVCloudKit.so"))
        _, m = self.start_device(bundle=b)
        self.assertTrue(wait_until(lambda: "cannot load the CloudKit backend" in m.log(), SLACK))
        self.assertTrue(m.running(), m.log())
        self.assertEqual(self.control("state")["requests"], [])

    def test_only_the_network_commands_load_libcurl(self):
        # (nuvctl watch, on the bus, is NuvctlOnTheBusTest's in tools_test;
        # the plug-in found beside an installed nuvctl, InstallTest's.)
        env = dict(self.bus.env(), XDG_CONFIG_HOME=self.config_home, XDG_DATA_HOME=self.tmp,
                   LD_DEBUG="files")  # the dynamic loader names every object it maps
        for args, network in ((["cloud", "status", "--check"], True),
                              (["cloud", "login", "ckSession=made-up"], True),
                              (["cloud", "status"], False), (["cloud", "logout"], False),
                              (["records", "add", "--name", "Phone"], False)):
            with self.subTest(args=args):
                done = nuvtest.run([nuvtest.NUVCTL, *args], env, stdin=subprocess.DEVNULL)
                loaded = nuvtest.network_libraries(done.stderr)
                if network:
                    self.assertIn("libcurl", loaded)
                else:
                    self.assertEqual(loaded, [])


if __name__ == "__main__":
    unittest.main()
