#!/usr/bin/python3
"""GetHistory end to end: a host's call to the running module for 7 days of
one device changing every minute (10,080 samples, with a few gaps), through
the bus, the module's history worker and back, as a host's
call_sync sees it; the same through `nuvctl history --json --since 7d`; and
GetHealthHistory for five years of the device's daily health rows (1,826).

    bench/history_bus.py [--calls 50] [--build build] [--smoke]

--smoke makes three calls (a check that the benchmark works, for the test
suite; its numbers mean little).
"""

import argparse
import os
import sqlite3
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))

UDID = "00008030-0000000000000001"
DAY = 86400 * 10**6
HEALTH_DAYS = 5 * 365 + 1
DEVICE = "Bonjour\t%s\nname\tBench iPhone\nBattery\t50\nCharging\t0\n" % UDID


def known(db, udid):
    """Whether the module has written a row of `udid` (its schema may not be there yet)."""
    try:
        return db.execute("SELECT count(*) FROM devices WHERE bonjour = ?", (udid,)).fetchone()[0]
    except sqlite3.OperationalError:
        return False


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, max(0, int(round(p / 100.0 * (len(values) - 1)))))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=50)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--smoke", action="store_true")
    args = parser.parse_args()
    os.environ["NUV_BUILD_DIR"] = os.path.abspath(args.build)
    import nuvtest  # noqa: E402  (reads NUV_BUILD_DIR)
    from gi.repository import Gio, GLib

    calls = 3 if args.smoke else args.calls
    tmp = tempfile.mkdtemp(prefix="nuv-history-bench-")
    bus = nuvtest.SessionBus()
    host = nuvtest.Host(bus)
    bundle = nuvtest.Bundle(tmp)
    bundle.set_output(DEVICE)
    module = nuvtest.Module(bundle, bus, tmp)
    try:
        path = os.path.join(tmp, "state", "NUVModule", "history.sqlite")
        if not nuvtest.wait_until(host.owner, 10) or not nuvtest.wait_until(
                lambda: os.path.exists(path), 15):
            sys.exit("the module did not start:\n" + module.log())
        # The module's first row names the device; 7 days of one change a
        # minute go in behind it, with a stop and start every day.
        now = int(time.time() * 1e6)
        minute = 60 * 10**6
        db = sqlite3.connect(path, timeout=5)
        if not nuvtest.wait_until(lambda: known(db, UDID), 15):
            sys.exit("the module wrote no row:\n" + module.log())
        with db:
            db.executemany(
                "INSERT OR REPLACE INTO samples SELECT id, ?, ?, ?, ? FROM devices "
                "WHERE bonjour = ?",
                [(now - (10080 - i) * minute, i % 101, i % 3 == 0, i % 2 == 0, UDID)
                 for i in range(10080)])
            db.executemany(
                "INSERT OR REPLACE INTO health SELECT id, ?, ?, ?, ?, ?, ? FROM devices "
                "WHERE bonjour = ?",
                [(now // DAY - d, now - d * DAY, 800 - d // 2, 2700 - d // 3, 3110,
                  max(70, 100 - d // 60), UDID) for d in range(HEALTH_DAYS)])
            db.executemany("INSERT INTO events(time, kind) VALUES(?, ?)",
                           [(now - d * 1440 * minute + k * minute, kind) for d in range(1, 8)
                            for k, kind in ((0, "stop"), (5, "start"))])
        db.close()
        since = now - 10081 * minute

        def call():
            reply = host.conn.call_sync(
                nuvtest.HOST_NAME, nuvtest.HOST_PATH, nuvtest.HOST_INTERFACE, "GetHistory",
                GLib.Variant("(sx)", (UDID, since)), GLib.VariantType("(a(xybb)a(xx))"),
                Gio.DBusCallFlags.NO_AUTO_START, 10000, None)
            return reply.get_child_value(0).n_children(), reply.get_child_value(1).n_children()

        def call_health():
            reply = host.conn.call_sync(
                nuvtest.HOST_NAME, nuvtest.HOST_PATH, nuvtest.HOST_INTERFACE, "GetHealthHistory",
                GLib.Variant("(sx)", (UDID, now - HEALTH_DAYS * DAY)),
                GLib.VariantType("(a(xiiii))"), Gio.DBusCallFlags.NO_AUTO_START, 10000, None)
            return reply.get_child_value(0).n_children()

        def timed(fn):
            ms = []
            for _ in range(calls):
                start = time.perf_counter()
                fn()
                ms.append((time.perf_counter() - start) * 1000)
            return ms

        rows, gaps = call()
        health_rows = call_health()
        ms = timed(call)
        health_ms = timed(call_health)
        cli = []
        for _ in range(min(calls, 10)):
            start = time.perf_counter()
            subprocess.run([nuvtest.NUVCTL, "history", "--json", "--since", "7d", UDID],
                           env=bus.env(), check=True, capture_output=True, timeout=30)
            cli.append((time.perf_counter() - start) * 1000)
        print("GetHistory, %d samples and %d gaps: median %.1f ms, p95 %.1f ms, max %.1f ms "
              "(%d calls)" % (rows, gaps, percentile(ms, 50), percentile(ms, 95), max(ms), calls))
        print("nuvctl history --json --since 7d: median %.1f ms (%d runs)" % (
            percentile(cli, 50), len(cli)))
        print("GetHealthHistory, %d rows: median %.1f ms, p95 %.1f ms, max %.1f ms (%d calls)" % (
            health_rows, percentile(health_ms, 50), percentile(health_ms, 95), max(health_ms),
            calls))
        if rows < 10080:
            sys.exit("expected at least 10,080 samples, got %d" % rows)
        if health_rows != HEALTH_DAYS:
            sys.exit("expected %d health rows, got %d" % (HEALTH_DAYS, health_rows))
    finally:
        module.stop()
        host.close()
        bus.close()


if __name__ == "__main__":
    main()
