#!/usr/bin/python3
"""Main-loop stall while battery writes fail and are retried, measured as the
broadcast latency: from the probe's exit to the "iOSStack" broadcast reaching a
listener, for every poll cycle. The probe (bench/poll_probe) reports a new
battery level at every run, so every cycle hands the record store a new value
while the earlier ones are still failing.

Scenarios, one module each on a private session bus:
  healthy    the local database, writes land
  locked     the local database, write-locked by another process the whole
             time (each try waits out the 5 s busy timeout on the worker)
  timeout    CloudKit (the local fake server) answering saves only after 3 s,
             with a 1 s request timeout: every save times out (the token does
             not rotate, so the module stays signed in)

    bench/cloud_stall.py [--seconds 60] [--build build] [--smoke]

--smoke runs the locked scenario for two broadcasts only (a check that the
benchmark works, for the test suite; its numbers mean little).
"""

import argparse
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))
sys.path.insert(0, HERE)

from poll_cycle import latencies, percentile  # noqa: E402

DEVICE_NAME = "Bench iPhone"  # what poll_probe reports
CONTAINER_FILE = os.path.join("vemo.Tallyport.NUVModule", "cloud",
                              "iCloud.vemo.voltaline.Voltaline.sqlite")
FAKE = os.path.join(HERE, "..", "tests", "integration", "fakecloudkit.py")
OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def control(endpoint, command, body=None):
    req = urllib.request.Request(endpoint + "/_control/" + command,
                                 data=json.dumps(body or {}).encode(), method="POST")
    with OPENER.open(req, timeout=10) as answer:
        return json.loads(answer.read())


class Scenario:
    """Sets up one home (records, lock, server) and tears it down."""

    def __init__(self, name, home, nuvctl):
        self.name, self.home, self.nuvctl = name, home, nuvctl
        self.stop_lock = threading.Event()
        self.lock_thread = None
        self.server = None

    def __enter__(self):
        data = os.path.join(self.home, "data")
        if self.name in ("healthy", "locked"):
            subprocess.run([self.nuvctl, "records", "add", "--name", DEVICE_NAME],
                           env=dict(os.environ, XDG_DATA_HOME=data), check=True,
                           capture_output=True, timeout=30)
        if self.name == "locked":
            ready = threading.Event()
            path = os.path.join(data, CONTAINER_FILE)

            def hold():
                con = sqlite3.connect(path, timeout=30, isolation_level=None)
                con.execute("PRAGMA journal_mode=WAL")
                con.execute("BEGIN EXCLUSIVE")
                ready.set()
                self.stop_lock.wait(3600)
                con.execute("ROLLBACK")
                con.close()

            self.lock_thread = threading.Thread(target=hold, daemon=True)
            self.lock_thread.start()
            if not ready.wait(30):
                raise RuntimeError("could not lock the database")
        if self.name == "timeout":
            self.server = subprocess.Popen([sys.executable, FAKE], stdout=subprocess.PIPE,
                                           stdin=subprocess.DEVNULL, text=True)
            endpoint = "http://127.0.0.1:%d" % int(self.server.stdout.readline().split()[1])
            # The token does not rotate: a timed-out answer would otherwise
            # carry the next token away with it and sign the module out.
            token = control(endpoint, "reset", {"apiToken": "bench", "delay": 3.0, "rotate": False,
                                                "delayOps": ["records/modify"]})["token"]
            control(endpoint, "seed", {"records": [{"recordName": "B1", "fields": {
                "Name": {"value": DEVICE_NAME, "type": "STRING"}}}]})
            conf = os.path.join(self.home, "config", "vemo.Tallyport.NUVModule")
            os.makedirs(conf, exist_ok=True)
            with open(os.path.join(conf, "cloud.conf"), "w") as f:
                f.write("[cloud]\nbackend=cloudkit\napi_token=bench\nendpoint=%s\n"
                        "timeout_ms=1000\n" % endpoint)
            with open(os.path.join(conf, "webauth.token"), "w") as f:
                f.write(token + "\n")
            os.chmod(os.path.join(conf, "webauth.token"), 0o600)
        return self

    def __exit__(self, *exc):
        self.stop_lock.set()
        if self.lock_thread:
            self.lock_thread.join(10)
        if self.server:
            import nuvtest
            nuvtest.stop_process(self.server)
            self.server.stdout.close()


def run(name, seconds, broadcasts, probe, tmp):
    import nuvtest
    from nuvtest import Listener, SessionBus

    home = os.path.join(tmp, name)
    work = os.path.join(home, "work")
    os.makedirs(work)
    bus = SessionBus()
    try:
        with Scenario(name, home, nuvtest.NUVCTL):
            bundle = nuvtest.Bundle(home, "NUVModule.app")
            shutil.copy(probe, bundle.probe)
            listener = Listener(bus, "iOSStack")
            module = nuvtest.Module(bundle, bus, home, {"NUV_BENCH_DIR": work})
            received = []
            deadline = time.monotonic() + seconds + 30
            first = None
            while time.monotonic() < deadline and len(received) < broadcasts:
                item = listener.next(max(0.01, deadline - time.monotonic()))
                if item is None:
                    continue
                received.append(time.time_ns())
                if first is None:
                    first = time.monotonic()
                    deadline = first + seconds
            log = module.log()
            bus.emit("vemo.Tallyport.kill")
            status = module.wait(10)
            module.stop()
            listener.close()
            if status != 0:
                raise RuntimeError("%s: the module exited with %s:\n%s" % (name, status, log))
            failures = log.count("saving battery values failed")
            return latencies(received, work), failures
    finally:
        bus.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--smoke", action="store_true")
    args = ap.parse_args()
    os.environ["NUV_BUILD_DIR"] = os.path.abspath(args.build)
    probe = os.path.join(args.build, "bench", "poll_probe")
    if not os.access(probe, os.X_OK):
        sys.exit("build the benchmarks first: %s is missing" % probe)
    scenarios = ["locked"] if args.smoke else ["healthy", "locked", "timeout"]
    broadcasts = 2 if args.smoke else 1 << 30
    tmp = tempfile.mkdtemp(prefix="nuv-stall-")
    results = {}
    try:
        for name in scenarios:
            results[name] = run(name, args.seconds, broadcasts, probe, tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    print("broadcast latency (probe exit -> listener), ms")
    print("%-9s %7s %9s %9s %9s %21s" % ("", "samples", "p50", "p99", "max",
                                           "write failures logged"))
    ok = True
    for name, (lat, failures) in results.items():
        print("%-9s %7d %9.3f %9.3f %9.3f %21d" % (
            name, len(lat), percentile(lat, 50), percentile(lat, 99), max(lat or [0]), failures))
        ok = ok and len(lat) > 0 and (name == "healthy" or args.smoke or failures == 1)
    if not ok:
        sys.exit("no broadcasts measured, or failures not logged exactly once")


if __name__ == "__main__":
    main()
