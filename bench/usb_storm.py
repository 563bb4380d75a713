#!/usr/bin/python3
"""USB attach storm benchmark: probe runs per minute and the module's CPU per
minute, idle and after a storm of iPhone attaches, for the built bundle under
umockdev on a private session bus.

Each window holds `--cycles` whole poll cycles (a minute at 12), from the
start of a probe run to the start of the run that many later. Idle: after
start-up. Storm: `--attaches` add and remove uevent pairs as fast as the
module takes them. Each iPhone match keeps its name for a 1 s just-added
window, closed by a clear 1 s after the match: the 1.5 s after the last pair
(the storm's tail, when those clears fall due) are reported apart, and the
second window begins after them.
The goal after the storm is the idle figure: the same runs per minute (12: a
5 s pause after each run) and no more than 1.2 times the idle CPU. CPU is the
module's own (its threads, from the scheduler's nanosecond counters), not its
probe runs'.

    bench/usb_storm.py [--cycles 12] [--attaches 1000] [--build build] [--smoke]

--smoke: a few seconds of each, to show the benchmark still works; its
figures mean nothing and the goal is not checked.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))

# Sending uevents needs the umockdev preload in this process too.
if "umockdev-preload" not in os.environ.get("LD_PRELOAD", ""):
    os.environ["LD_PRELOAD"] = "libumockdev-preload.so.0:" + os.environ.get("LD_PRELOAD", "")
    os.execv(sys.executable, [sys.executable] + sys.argv)

# The just-added window (1 s) and some slack.
TAIL_SECONDS = 1.5
DEVICE = "Bonjour\tabc\nname\tMy Phone\nBattery\t85\nHost Attached\t1\n"


def measure(module, bundle, cycles, limit):
    """(runs per minute, module CPU seconds per minute) over `cycles` poll
    cycles, from the start of one probe run to the start of the run `cycles`
    later, so that idle and after-storm windows hold whole cycles. Ends at
    `limit` seconds whatever has come by then."""
    import nuvtest
    deadline = time.monotonic() + limit
    first = len(bundle.starts())
    nuvtest.wait_until(lambda: len(bundle.starts()) > first or time.monotonic() > deadline, limit)
    runs, began, cpu = len(bundle.starts()), time.monotonic(), nuvtest.cpu_seconds(module.pid)
    nuvtest.wait_until(lambda: len(bundle.starts()) >= runs + cycles
                       or time.monotonic() > deadline, limit)
    minutes = max(time.monotonic() - began, 1e-3) / 60
    return ((len(bundle.starts()) - runs) / minutes,
            (nuvtest.cpu_seconds(module.pid) - cpu) / minutes)


def removals(nuvtest, module, name):
    """How many times the USB watcher has logged `name` for a removed device."""
    return nuvtest.log_records(module.log(), "Message").count(name)


def attach_storm(nuvtest, testbed, path, module, name, count, timeout=10.0):
    """Attaches the umockdev device at `path` `count` times (an "add" and a
    "remove" uevent each). The test bed's uevent socket holds only a handful
    of datagrams and the sender aborts when it is full, so one pair is in
    flight at a time: each waits for the module to write the device's `name`
    at the removal. Returns False when the module stalls for `timeout` seconds."""
    baseline = removals(nuvtest, module, name)
    for i in range(count):
        testbed.uevent(path, "add")
        testbed.uevent(path, "remove")
        if not nuvtest.wait_until(lambda: removals(nuvtest, module, name) > baseline + i,
                                  timeout, interval=0.001):
            return False
    return True


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--cycles", type=int, default=12, help="poll cycles in each window")
    ap.add_argument("--attaches", type=int, default=1000)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--smoke", action="store_true")
    args = ap.parse_args()
    if args.smoke:
        args.cycles, args.attaches = 1, 20
    os.environ["NUV_BUILD_DIR"] = os.path.abspath(args.build)
    import gi
    gi.require_version("UMockdev", "1.0")
    from gi.repository import UMockdev
    import nuvtest  # reads NUV_BUILD_DIR

    tmp = tempfile.mkdtemp(prefix="nuv-storm-bench-")
    bus = nuvtest.SessionBus()
    testbed = UMockdev.Testbed.new()
    module = None
    try:
        bundle = nuvtest.Bundle(tmp)
        bundle.set_output(DEVICE)
        phone = testbed.add_device("usb", "1-1", None,
                                   ["busnum", "1", "devnum", "2", "product", "iPhone"],
                                   ["DEVTYPE", "usb_device"])
        module = nuvtest.Module(bundle, bus, tmp, {
            "LD_PRELOAD": "libumockdev-preload.so.0",
            # The storm counts removals by the names the watcher logs.
            "UMOCKDEV_DIR": testbed.get_root_dir()})
        # The phone present at start-up starts a run at registration (2 s).
        if not nuvtest.wait_until(lambda: bundle.starts(), 10):
            sys.exit("the module started no probe run:\n" + module.log())
        limit = args.cycles * 5 * 2 + 10
        if args.smoke:
            limit = 2.0
        idle = measure(module, bundle, args.cycles, limit)

        # Gone first, so that every attach of the storm is a new match.
        testbed.uevent(phone, "remove")
        if not nuvtest.wait_until(lambda: removals(nuvtest, module, "iPhone"), 5):
            sys.exit("the module did not see the phone go:\n" + module.log())
        runs_before = len(bundle.starts())
        began = time.monotonic()
        if not attach_storm(nuvtest, testbed, phone, module, "iPhone", args.attaches):
            sys.exit("the module stalled during the storm:\n" + module.log()[-2000:])
        storm_seconds = time.monotonic() - began
        storm_runs = len(bundle.starts()) - runs_before
        runs, cpu = len(bundle.starts()), nuvtest.cpu_seconds(module.pid)
        time.sleep(TAIL_SECONDS)
        tail = (len(bundle.starts()) - runs, nuvtest.cpu_seconds(module.pid) - cpu)
        after = measure(module, bundle, args.cycles, limit)
        if module.proc.poll() is not None:
            sys.exit("the module ended:\n" + module.log()[-2000:])
    finally:
        if module:
            module.stop()
        bus.close()
        shutil.rmtree(tmp, ignore_errors=True)

    print("%d attaches in %.1f s, %d probe runs during the storm; its %.1f s tail: %d runs, "
          "%.2f ms module CPU" % (args.attaches, storm_seconds, storm_runs, TAIL_SECONDS, tail[0],
                                  tail[1] * 1000))
    print("%-13s %14s %23s" % ("", "runs / minute", "module CPU ms / minute"))
    for name, (runs, cpu) in (("idle", idle), ("after storm", after)):
        print("%-13s %14.2f %23.2f" % (name, runs, cpu * 1000))
    if idle[1] > 0:
        print("CPU after the storm / idle: %.2fx" % (after[1] / idle[1]))
    # A 5 s pause after every run: 12 runs a minute at most.
    if not args.smoke and (after[0] > 12.0 or after[1] > 1.2 * idle[1]):
        sys.exit("goal missed: after the storm, more than 12 runs a minute or more than 1.2x "
                 "the idle CPU")


if __name__ == "__main__":
    main()
