#!/usr/bin/env python3
"""What nuv-devices --background costs: the app without a window, under Xvfb
with the accessibility bus and a notification daemon (python-dbusmock), fed
by the host service stand-in with two devices whose battery changes every
5 s (the charge target is 80, so the phone is told "charged" every 40 runs).

Prints its CPU (% of one core, and seconds per hour) and resident set size
(with its anonymous and file-backed parts, and its proportional share) without a window, then with the
window open, then after the window was closed again. The goal: without a
window under 50 MiB and under 0.1% of a core.

    alerts_background.py [--minutes N]   (default 10, without a window)
    alerts_background.py --smoke         (a few seconds each; for the test suite)
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
from devices_window import PERIOD, WINDOW, cpu_seconds, devices, wait_for_rows  # noqa: E402
from gi.repository import Gio, GLib  # noqa: E402
from nuvtest import stop_process  # noqa: E402
from xdesktop import PYTHON, Desktop  # noqa: E402

APP_ID = "vemo.Tallyport.NUVDevices"


def memory(pid):
    """RSS, RssAnon, RssFile+RssShmem and PSS (shared pages split among their users), MiB."""
    fields = {}
    for name in ("status", "smaps_rollup"):
        with open("/proc/%d/%s" % (pid, name)) as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in ("VmRSS", "RssAnon", "RssFile", "RssShmem", "Pss"):
                    fields[key] = int(value.split()[0]) / 1024
    return (fields["VmRSS"], fields["RssAnon"], fields["RssFile"] + fields["RssShmem"],
            fields["Pss"])


def largest_mappings(pid, count=8):
    """The files (and [heap], anonymous) holding most of the RSS: (MiB, name)."""
    by_name, name = {}, None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            head = line.split()
            if not line[0].isupper():  # a mapping's first line: address perms offset dev inode [path]
                name = os.path.basename(head[5]) if len(head) > 5 else "(anonymous)"
            elif head[0] == "Rss:":
                by_name[name] = by_name.get(name, 0) + int(head[1]) / 1024
    return sorted(((mib, n) for n, mib in by_name.items()), reverse=True)[:count]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--smoke", action="store_true", help="run for a few seconds only")
    parser.add_argument("--gl", action="store_true", help="leave the renderer to the app (it "
                        "keeps GTK from bringing up GL in the background) and to GTK (under Xvfb "
                        "GL on Mesa's software rasterizer for a window the app did not start)")
    args = parser.parse_args()
    phases = [("no window", 4.0 if args.smoke else args.minutes * 60),
              ("window open", 3.0 if args.smoke else 60.0),
              ("window closed", 3.0 if args.smoke else 60.0)]

    desktop = Desktop()
    procs, host = [], None
    results = []
    try:
        desktop.start()
        tmp = tempfile.mkdtemp(dir=desktop.tmp)
        env = dict(desktop.env, XDG_STATE_HOME=os.path.join(tmp, "state"),
                   **nuvtest.settings_env(os.path.join(tmp, "config"), charge_target="80"))
        if not args.gl:
            env["GDK_DEBUG"] = "gl-disable"
        procs.append(subprocess.Popen([PYTHON, "-m", "dbusmock", "--template",
                                       "notification_daemon"], env=desktop.env,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        host = nuvtest.StandIn(desktop.bus, devices(0))
        app = subprocess.Popen([WINDOW, "--background"], env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(app)
        bus = nuvtest.connect(desktop.bus.address)

        def owned():
            return bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "NameHasOwner",
                                 GLib.Variant("(s)", (APP_ID,)), None, Gio.DBusCallFlags.NONE,
                                 5000, None).unpack()[0]
        if not nuvtest.wait_until(owned, 30):
            raise SystemExit("nuv-devices --background did not start")
        time.sleep(1)  # start-up settles

        step = 1
        next_update = time.monotonic() + PERIOD
        for name, duration in phases:
            if name == "window open":
                subprocess.run([WINDOW], env=env, timeout=30, check=True)
                wait_for_rows(desktop.env)
            elif name == "window closed":
                bus.call_sync(APP_ID, "/" + APP_ID.replace(".", "/"), "org.gtk.Actions",
                              "Activate", GLib.Variant("(sava{sv})", ("quit", [], {})), None,
                              Gio.DBusCallFlags.NONE, 5000, None)
                time.sleep(1)
            start, cpu0 = time.monotonic(), cpu_seconds(app.pid)
            while (now := time.monotonic()) < start + duration:
                if now >= next_update:
                    host.publish(devices(step))
                    step, next_update = step + 1, next_update + PERIOD
                time.sleep(max(0.0, min(next_update, start + duration) - time.monotonic()))
            elapsed = time.monotonic() - start
            results.append((name, elapsed, cpu_seconds(app.pid) - cpu0, memory(app.pid)))
            if name == "no window":
                mappings = largest_mappings(app.pid)
        if app.poll() is not None:
            raise SystemExit("nuv-devices ended during the run")
        bus.close_sync(None)
    finally:
        if host:
            host.close()
        for proc in reversed(procs):
            if proc.stdin:
                proc.stdin.close()
            stop_process(proc, 10)
            if proc.stdout:
                proc.stdout.close()
        desktop.stop()

    print("nuv-devices --background, two devices updating every %.0f s, GL %s:"
          % (PERIOD, "as the app chooses" if args.gl else "disabled from outside"))
    print("%-14s %8s %12s %12s %10s %10s %10s %10s" % (
        "", "seconds", "CPU % core", "CPU s/hour", "RSS MiB", "anon MiB", "file MiB", "PSS MiB"))
    for name, elapsed, cpu, (rss, anon, mapped, pss) in results:
        print("%-14s %8.0f %11.3f%% %12.2f %10.1f %10.1f %10.1f %10.1f" % (
            name, elapsed, 100 * cpu / elapsed, 3600 * cpu / elapsed, rss, anon, mapped, pss))
    print("largest parts of the RSS without a window: " +
          ", ".join("%s %.1f MiB" % (n, mib) for mib, n in mappings))
    name, elapsed, cpu, (rss, _, _, _) = results[0]
    if not args.smoke:
        print("goal without a window (< 50 MiB, < 0.1%% of a core): %s" % (
            "met" if rss < 50 and 100 * cpu / elapsed < 0.1 else "NOT met"))


if __name__ == "__main__":
    main()
