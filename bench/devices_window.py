#!/usr/bin/env python3
"""What the devices window costs while it just sits there: nuv-devices under
Xvfb with the accessibility bus running (as on a desktop), fed by the host
service stand-in (nuvtest.StandIn) with two devices whose battery changes every 5 s.

Prints the window's CPU time per minute (as % of one core) and its resident
set size per minute, and whether RSS grew from the first minute to the last.
The goal: under 1% of a core, no growth.

    devices_window.py [--minutes N]   (default 10)
    devices_window.py --smoke         (a few seconds; for the test suite)
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))

import nuvtest  # noqa: E402
from nuvtest import Lines, stop_process  # noqa: E402
from xdesktop import PYTHON, Desktop  # noqa: E402

WINDOW = os.path.join(nuvtest.BUILD_DIR, "tools", "devices", "nuv-devices")
ATSPI_TREE = os.path.join(HERE, "..", "tests", "integration", "helpers", "atspi_tree.py")
PERIOD = 5.0  # the module's poll rhythm
TICK = os.sysconf("SC_CLK_TCK")


def devices(step):
    """Two devices; both batteries move at every step."""
    now = int(time.time() * 1e6)
    return {
        "phone": {"Bonjour": "phone", "name": "Anna's iPhone", "Battery": str(50 + step % 40),
                  "Charging": "1", "Host Attached": "1", "ProductType": "iPhone15,2",
                  "Trusted": "1", "timestamp": now},
        "tablet": {"Bonjour": "tablet", "name": "Kitchen iPad", "Battery": str(90 - step % 40),
                   "Charging": "0", "Host Attached": "0", "ProductType": "iPad13,4",
                   "Trusted": "1", "timestamp": now},
    }


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime + stime


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def wait_for_rows(env, timeout=60):
    """Blocks until the window shows its two rows through AT-SPI."""
    reader = subprocess.Popen([PYTHON, ATSPI_TREE, "nuv-devices"], env=env, text=True,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
    answers = Lines(reader.stdout)
    try:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            reader.stdin.write("tree\n")
            reader.stdin.flush()
            if "Kitchen iPad" in (answers.next(30) or ""):
                return
            time.sleep(0.2)
        raise SystemExit("the window did not show its rows within %d s" % timeout)
    finally:
        reader.stdin.close()
        stop_process(reader, 5)
        reader.stdout.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--smoke", action="store_true", help="run for a few seconds only")
    parser.add_argument("--renderer", help="GSK_RENDERER for the window (GTK chooses by default; "
                        "under Xvfb that is GL on Mesa's software rasterizer)")
    args = parser.parse_args()
    duration = 6.0 if args.smoke else args.minutes * 60
    sample_every = 2.0 if args.smoke else 60.0

    desktop = Desktop()
    host = window = None
    try:
        desktop.start()
        host = nuvtest.StandIn(desktop.bus, devices(0))
        log = tempfile.TemporaryFile()
        env = dict(desktop.env, **({"GSK_RENDERER": args.renderer} if args.renderer else {}))
        window = subprocess.Popen([WINDOW], env=env, stdin=subprocess.DEVNULL,
                                  stdout=log, stderr=subprocess.STDOUT)
        wait_for_rows(desktop.env)

        start = time.monotonic()
        cpu0 = cpu_seconds(window.pid)
        samples = []  # (seconds since start, cpu seconds since start, rss KiB)
        step, next_update, next_sample = 1, start + PERIOD, start + sample_every
        while (now := time.monotonic()) < start + duration:
            if now >= next_update:
                host.publish(devices(step))
                step, next_update = step + 1, next_update + PERIOD
            if now >= next_sample:
                samples.append((now - start, cpu_seconds(window.pid) - cpu0, rss_kib(window.pid)))
                next_sample += sample_every
            time.sleep(max(0.0, min(next_update, next_sample) - time.monotonic()))
        samples.append((time.monotonic() - start, cpu_seconds(window.pid) - cpu0,
                        rss_kib(window.pid)))
        if window.poll() is not None:
            raise SystemExit("nuv-devices ended during the run")
    finally:
        if window:
            stop_process(window, 10)
        if host:
            host.close()
        desktop.stop()

    print("nuv-devices (renderer %s), idle, two devices updating every %.0f s, "
          "%d updates in %.0f s:" % (args.renderer or "default", PERIOD, step - 1,
                                     samples[-1][0]))
    print("%10s %14s %10s" % ("at", "CPU (% core)", "RSS"))
    previous = (0.0, 0.0)
    for at, cpu, rss in samples:
        share = 100 * (cpu - previous[1]) / max(at - previous[0], 1e-9)
        print("%9.0fs %13.3f%% %7.1f MiB" % (at, share, rss / 1024))
        previous = (at, cpu)
    total = 100 * samples[-1][1] / samples[-1][0]
    growth = (samples[-1][2] - samples[0][2]) / 1024
    print("overall: %.3f%% of a core (%.1f ms CPU per minute); RSS %.1f -> %.1f MiB (%+.1f MiB)" % (
        total, 1000 * samples[-1][1] / samples[-1][0] * 60, samples[0][2] / 1024,
        samples[-1][2] / 1024, growth))
    if not args.smoke:
        print("goal (< 1%% of a core, no growth): %s" % (
            "met" if total < 1.0 and growth <= 0.5 else "NOT met"))


if __name__ == "__main__":
    main()
