"""nuv-bridge against the real engines on loopback: the module with a scripted
probe, Debian's mosquitto, prometheus and prometheus-node-exporter, each on
free ports of the test's own."""

import json
import os
import re
import socket
import subprocess
import urllib.parse

import nuvtest
from nuvtest import BridgeProcess, Mosquitto, MqttWatch, http_get, wait_until

HOST = re.sub(r"[^A-Za-z0-9_-]", "_", socket.gethostname())
NAME = 'Ann\'s "Pad"\\'
PAD = "Bonjour\tpad-1\nname\t%s\nBattery\t85\nCharging\t1\nHost Attached\t1\n" % NAME
PHONE = "Bonjour\tphone-2\nname\tPhone\nBattery\t50\nCharging\t0\nHost Attached\t1\n"


class BridgeTest(nuvtest.ModuleTestCase):
    def setUp(self):
        super().setUp()
        # A throwaway authority, and a certificate it signed for the broker.
        new = ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
               "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1"]
        self.ca, cert, key = (os.path.join(self.tmp, n) for n in ("ca.pem", "cert.pem", "key.pem"))
        nuvtest.run(new + ["-keyout", self.ca + ".key", "-out", self.ca, "-subj", "/CN=NUV test"],
                    check=True)
        nuvtest.run(new + ["-keyout", key, "-out", cert, "-subj", "/CN=localhost", "-CA", self.ca,
                           "-CAkey", self.ca + ".key", "-addext", "basicConstraints=CA:FALSE",
                           "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"], check=True)
        self.broker = Mosquitto(self.tmp, {"nuv": "secret"}, (cert, key))
        self.closing = [self.broker.close]

    def tearDown(self):
        # Every process goes, even when one of them failed its check.
        problems = []
        for close in reversed(self.closing):
            try:
                close()
            except AssertionError as e:
                problems.append(str(e))
        super().tearDown()
        if problems:
            self.fail("\n\n".join(problems))

    def start_process(self, argv):
        proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.closing.append(lambda: nuvtest.stop_process(proc))

    def bridge(self, password, *args, ca=None):
        """Over TLS when given `ca`: the cafile, or "" for the system's."""
        name = password if ca is None else "%s-tls%d" % (password, bool(ca))
        secret = os.path.join(self.tmp, "secret-" + name)
        nuvtest.write_whole(secret, password + "\n", 0o600)
        conf = os.path.join(self.tmp, "bridge-%s.conf" % name)
        url = ("mqtt://127.0.0.1:%d" % self.broker.port if ca is None
               else "mqtts://127.0.0.1:%d\ncafile = %s" % (self.broker.tls_port, ca))
        nuvtest.write_whole(conf, "[mqtt]\nurl = %s\nusername = nuv\n"
                            "password-file = %s\nclient-id = nuv-%s\n" % (url, secret, name))
        bridge = BridgeProcess(self.bus, self.tmp, "--config", conf, *args)
        def stop():
            self.assertEqual(bridge.stop(), 0, bridge.log())
            self.assertIsNone(nuvtest.sanitizer_report(bridge.log()))
        self.closing.append(stop)
        return bridge

    def watch(self, tls=False):
        watch = (MqttWatch(self.broker.tls_port, "nuv", "secret", cafile=self.ca) if tls
                 else MqttWatch(self.broker.port, "nuv", "secret"))
        self.closing.append(watch.close)
        return watch

    def state(self, watch, udid, retained=False, **expected):
        """The next state of `udid` holding `expected` (as a retained message
        that a new subscription gets)."""
        topic = "nuv/%s/%s/state" % (HOST, udid)
        item = watch.until(lambda t, p, r: t == topic and r >= retained and expected.items()
                           <= json.loads(p).items(), 10)
        self.assertIsNotNone(item, "no %s state with %s" % (udid, expected))

    def availability(self, watch, value):
        item = watch.until(lambda t, p, r: t == "nuv/%s/status" % HOST and p == value, 10)
        self.assertIsNotNone(item, "availability never went %s" % value)

    def test_engines_follow_the_module_and_the_broker(self):
        refused = self.bridge("wrong")
        watch = self.watch()
        b, m = self.start_device(PAD)
        textfiles = os.path.join(self.tmp, "textfiles")
        textfile = os.path.join(textfiles, "nuv.prom")
        bridge = self.bridge("secret", "--listen", "127.0.0.1:0", "--textfile", textfile)
        url = bridge.metrics_url()

        # Online, discovery, then each state change.
        self.availability(watch, "online")
        config = watch.until(lambda t, p, r: t == "homeassistant/sensor/nuv_pad-1/battery/config",
                             10)
        self.assertIsNotNone(config)
        self.assertEqual(json.loads(config[1])["device"], {"identifiers": ["nuv_pad-1"],
                                                           "name": NAME})
        self.state(watch, "pad-1", name=NAME, battery=85, charging=True, attached=True)
        self.change(b, m, PAD.replace("85", "60"))
        self.state(watch, "pad-1", battery=60)
        self.change(b, m, PHONE)
        self.state(watch, "phone-2", battery=50, charging=False)
        # Home Assistant started again: it gets the discovery configs anew.
        watch.client.publish("homeassistant/status", "online")
        self.assertTrue(watch.until(lambda t, p, r: t.endswith("nuv_phone-2/plugged/config"), 10))

        # Prometheus scrapes the endpoint, node_exporter serves the textfile.
        exporter = nuvtest.free_port()
        self.start_process(["prometheus-node-exporter", "--web.listen-address=127.0.0.1:%d"
                            % exporter, "--collector.disable-defaults", "--collector.textfile",
                            "--collector.textfile.directory=" + textfiles])
        prometheus = nuvtest.free_port()
        conf = os.path.join(self.tmp, "prometheus.yml")
        nuvtest.write_whole(conf, "global: {scrape_interval: 1s}\nscrape_configs:\n"
                            "- {job_name: nuv, static_configs: [{targets: ['%s']}]}\n"
                            % urllib.parse.urlsplit(url).netloc)
        self.start_process(["prometheus", "--config.file=" + conf, "--storage.tsdb.path="
                            + os.path.join(self.tmp, "tsdb"), "--web.listen-address=127.0.0.1:%d"
                            % prometheus])

        def levels():
            # Until its storage is open Prometheus answers 503 in plain text.
            try:
                status, _, body = http_get("http://127.0.0.1:%d/api/v1/query?query="
                                           "nuv_battery_level_ratio" % prometheus)
            except OSError:
                return None
            if status != 200:
                return None
            return {r["metric"]["udid"]: r["value"][1] for r in json.loads(body)["data"]["result"]}
        self.assertEqual(wait_until(levels, 20, 0.2), {"pad-1": "0.6", "phone-2": "0.5"})
        exported = http_get("http://127.0.0.1:%d/metrics" % exporter)[2]
        self.assertIn('nuv_battery_level_ratio{udid="phone-2"} 0.5\n', exported)

        status, kind, text = http_get(url)
        self.assertEqual((status, kind), (200, "text/plain; version=0.0.4; charset=utf-8"))
        self.assertIn('name="Ann\'s \\"Pad\\"\\\\"', text)
        check = subprocess.run(["promtool", "check", "metrics"], input=text, text=True,
                               capture_output=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertEqual(http_get(url + "x")[0], 404)
        self.assertEqual(http_get(url, "POST")[0], 405)

        # The broker killed and back, empty: the state is published again,
        # after one log line.
        self.broker.kill()
        self.broker.start()
        watch = self.watch()
        self.state(watch, "pad-1", battery=60)
        self.state(watch, "phone-2", battery=50)
        watch = self.watch()
        self.state(watch, "phone-2", True, battery=50)
        self.assertEqual(bridge.log().count("lost the MQTT broker"), 1, bridge.log())

        # The module stopped and back.
        self.assertEqual(m.stop(), 0)
        self.availability(watch, "offline")
        text = http_get(url)[2]
        self.assertIn("\nnuv_module_up 0\n", text)
        self.assertNotIn("nuv_battery_level_ratio{", text)
        m = self.start(b)
        self.availability(watch, "online")
        self.refresh(m)
        self.assertTrue(wait_until(lambda: 'level_ratio{udid="phone-2"}' in http_get(url)[2], 10))

        # Refused credentials: one line of their own, and the bridge runs on.
        self.assertEqual(refused.log().count("not authorized by mqtt://127.0.0.1:%d"
                                             % self.broker.port), 1, refused.log())
        self.assertIn("\nnuv_bridge_mqtt_connected 1\n", http_get(url)[2])

        # Stopped: offline, and no textfile left that nobody keeps current.
        self.assertEqual(bridge.stop(), 0, bridge.log())
        self.availability(watch, "offline")
        self.assertFalse(os.path.exists(textfile))

    def test_tls_takes_only_a_certificate_that_verifies(self):
        untrusting = self.bridge("secret", ca="")
        self.start_device(PAD)
        self.bridge("secret", ca=self.ca)
        self.state(self.watch(tls=True), "pad-1", battery=85)
        self.state(self.watch(tls=True), "pad-1", True, battery=85)

        # With the system's authorities only: one line that says why, and
        # attempts that go on.
        self.assertTrue(wait_until(lambda: self.broker.log().count("unknown ca") >= 2, 5),
                        self.broker.log())
        self.assertEqual(untrusting.log().count("cannot connect"), 1, untrusting.log())
        self.assertIn("certificate verification failed against the system's", untrusting.log())
