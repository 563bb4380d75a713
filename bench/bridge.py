#!/usr/bin/python3
"""nuv-bridge with 30 devices: its CPU and resident set idle and per
broadcast, the time from a broadcast (a PropertiesChanged of the module's
host service, sent by a stand-in on a private bus) to the changed device's
MQTT state reaching a subscriber (Debian's mosquitto on loopback) and to the
textfile holding the new level, and GET /metrics round trips with the
bridge's own CPU per request.

    bench/bridge.py [--broadcasts 200] [--idle 30] [--build build] [--smoke]

Each broadcast changes one device's level, as a probe run does. --smoke runs
a few of each (a check that the benchmark works; its numbers mean little).
"""

import argparse
import http.client
import os
import shutil
import sys
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))

DEVICES = 30


def device(i, level):
    udid = "00008030-%016d" % i
    return udid, {"Bonjour": udid, "name": "Cart iPad %d" % i, "ProductType": "iPad13,18",
                  "Battery": str(level), "Charging": "1", "ExternalConnected": "1",
                  "FullyCharged": "0", "Host Attached": "1", "Trusted": "1",
                  "BatteryCycleCount": "412", "BatteryMaxCapacity": "88",
                  "BatteryTemperature": "31", "ChargerWatts": "12"}


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, max(0, int(round(p / 100.0 * (len(values) - 1)))))]


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        fields = dict(line.split(":", 1) for line in f)
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--broadcasts", type=int, default=200)
    parser.add_argument("--idle", type=float, default=30.0)
    parser.add_argument("--requests", type=int, default=2000)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--smoke", action="store_true")
    args = parser.parse_args()
    os.environ["NUV_BUILD_DIR"] = os.path.abspath(args.build)
    import nuvtest  # noqa: E402  (reads NUV_BUILD_DIR)
    if args.smoke:
        args.broadcasts, args.idle, args.requests = 5, 1.0, 20

    tmp = tempfile.mkdtemp(prefix="nuv-bridge-bench-")
    bus = nuvtest.SessionBus()
    levels = {i: 50 for i in range(DEVICES)}
    stand_in = nuvtest.StandIn(bus, dict(device(i, 50) for i in range(DEVICES)))
    broker = nuvtest.Mosquitto(tmp, {"bench": "bench"})
    secret = os.path.join(tmp, "secret")
    nuvtest.write_whole(secret, "bench\n", 0o600)
    conf = os.path.join(tmp, "bridge.conf")
    nuvtest.write_whole(conf, "[mqtt]\nurl = mqtt://127.0.0.1:%d\nusername = bench\n"
                        "password-file = %s\n" % (broker.port, secret))
    textfile = os.path.join(tmp, "textfiles", "nuv.prom")
    bridge = nuvtest.BridgeProcess(bus, tmp, "--config", conf, "--listen", "127.0.0.1:0",
                                   "--textfile", textfile)
    watch = None
    try:
        url = urllib.parse.urlsplit(bridge.metrics_url())
        arrivals = {}
        arrived = threading.Condition()
        watch = nuvtest.MqttWatch(broker.port, "bench", "bench", "nuv/+/+/state")

        def on_message(_c, _u, message):
            with arrived:
                arrivals[message.topic, message.payload] = time.monotonic_ns()
                arrived.notify_all()
        watch.client.on_message = on_message
        time.sleep(1.0)  # the first map, its discovery configs and states
        pid = bridge.proc.pid

        cpu0, t0 = nuvtest.cpu_seconds(pid), time.monotonic()
        time.sleep(args.idle)
        idle_cpu = (nuvtest.cpu_seconds(pid) - cpu0) / (time.monotonic() - t0) * 60
        idle_rss, _ = rss_kib(pid)

        to_mqtt, to_file = [], []
        cpu = 0.0
        for n in range(args.broadcasts):
            i = n % DEVICES
            levels[i] = 51 + (levels[i] - 50) % 49
            devices = dict(device(k, levels[k]) for k in range(DEVICES))
            udid = device(i, 0)[0]
            devices[udid]["timestamp"] = time.time_ns() // 1000
            value = stand_in.variant(devices)  # slow in Python: before the clock starts
            stand_in.devices = value
            before = nuvtest.cpu_seconds(pid)
            sent = time.monotonic_ns()
            stand_in.announce(value)
            expected = ('"battery":%d' % levels[i]).encode()
            with arrived:
                arrived.wait_for(lambda: any(t.endswith(udid + "/state") and expected in p
                                             for t, p in arrivals), 5)
                got = [at for (t, p), at in arrivals.items() if t.endswith(udid + "/state")
                       and expected in p]
                arrivals.clear()
            line = 'nuv_battery_level_ratio{udid="%s"} %s\n' % (udid, levels[i] / 100)
            while time.monotonic_ns() - sent < 5e9:
                try:
                    with open(textfile) as f:
                        if line in f.read():
                            to_file.append((time.monotonic_ns() - sent) / 1e6)
                            break
                except OSError:
                    pass
                time.sleep(0.0002)
            if got:
                to_mqtt.append((got[0] - sent) / 1e6)
            time.sleep(0.1)  # let the bridge settle before the CPU is read
            cpu += nuvtest.cpu_seconds(pid) - before
        busy_rss, peak = rss_kib(pid)

        connection = http.client.HTTPConnection(url.hostname, url.port, timeout=5)
        round_trips = []
        before = nuvtest.cpu_seconds(pid)
        for _ in range(args.requests):
            start = time.monotonic_ns()
            connection.request("GET", "/metrics")
            body = connection.getresponse().read()
            round_trips.append((time.monotonic_ns() - start) / 1e6)
        per_request = (nuvtest.cpu_seconds(pid) - before) / args.requests * 1e3
        connection.close()

        print("nuv-bridge, %d devices (%d broadcasts, %d GET /metrics of %d bytes):"
              % (DEVICES, args.broadcasts, args.requests, len(body)))
        print("  idle: %.1f ms CPU per minute, RSS %.1f MiB" % (idle_cpu * 1e3, idle_rss / 1024))
        print("  per broadcast: %.3f ms CPU; RSS after them %.1f MiB (peak %.1f MiB)"
              % (cpu / args.broadcasts * 1e3, busy_rss / 1024, peak / 1024))
        for name, values in (("broadcast -> MQTT state", to_mqtt),
                             ("broadcast -> textfile", to_file),
                             ("GET /metrics round trip", round_trips)):
            if len(values) < (args.requests if "GET" in name else args.broadcasts):
                print("  %s: only %d measured" % (name, len(values)))
                return 1
            print("  %s: p50 %.2f ms, p99 %.2f ms, max %.2f ms" % (
                name, percentile(values, 50), percentile(values, 99), max(values)))
        print("  GET /metrics: %.3f ms of the bridge's CPU per request" % per_request)
        return 0
    finally:
        if watch:
            watch.close()
        status = bridge.stop()
        broker.close()
        stand_in.close()
        bus.close()
        shutil.rmtree(tmp, ignore_errors=True)
        if status != 0:
            print("nuv-bridge exited with %d:\n%s" % (status, bridge.log()))


if __name__ == "__main__":
    sys.exit(main())
