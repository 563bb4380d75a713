#!/usr/bin/python3
"""Host service benchmark: the round trip of a `Devices` read from another
process (a host application's Properties.Get on the module's bus name), with
100 devices in the map, on a private session bus. A read of `Version` (a short
string) is timed beside it, so what the map itself costs shows as the
difference.

The module runs from a bundle copy whose probe reports one of 100 devices per
run; Refresh() fills the map without waiting for the poll timer.

    bench/host_service.py [--reads 5000] [--devices 100] [--build build] [--smoke]
"""

import argparse
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))

# One of --devices devices per run, in turn, with every fact a real probe prints.
PROBE = r"""#!/bin/sh
n=$(cat "$NUV_BENCH_DIR/n" 2>/dev/null || echo 0)
echo $((n + 1)) > "$NUV_BENCH_DIR/n"
i=$((n % $NUV_BENCH_DEVICES))
printf 'Bonjour\t00008030-%016d\nname\tBench device %d\nBattery\t%d\nCharging\t1\n' $i $i $((i % 101))
printf 'Host Attached\t1\nProductType\tiPhone15,2\nExternalConnected\t1\nFullyCharged\t0\nTrusted\t1\n'
"""


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, max(0, int(round(p / 100.0 * (len(values) - 1)))))]


def time_reads(read, count):
    """Microseconds per call, after a short warm-up."""
    for _ in range(min(50, count)):
        read()
    out = []
    for _ in range(count):
        t = time.perf_counter_ns()
        read()
        out.append((time.perf_counter_ns() - t) / 1000.0)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reads", type=int, default=5000)
    ap.add_argument("--devices", type=int, default=100)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--smoke", action="store_true", help="a few hundred reads, for the tests")
    args = ap.parse_args()
    if args.smoke:
        args.reads, args.devices = 200, min(args.devices, 20)
    os.environ["NUV_BUILD_DIR"] = os.path.abspath(args.build)
    import nuvtest  # noqa: E402  (reads NUV_BUILD_DIR)

    tmp = tempfile.mkdtemp(prefix="nuv-bench-host-")
    bus = nuvtest.SessionBus()
    module = host = listener = None
    try:
        bundle = nuvtest.Bundle(tmp)
        bundle.set_probe_script(PROBE)
        listener = nuvtest.Listener(bus, "iOSStack")
        module = nuvtest.Module(bundle, bus, tmp, {"NUV_BENCH_DIR": tmp,
                                                    "NUV_BENCH_DEVICES": str(args.devices)})
        host = nuvtest.Host(bus)
        if not nuvtest.wait_until(host.owner, 10):
            sys.exit("the module did not take its bus name:\n" + module.log())
        # One Refresh() per device; each run adds one and broadcasts.
        for i in range(args.devices):
            host.refresh()
            if listener.next(10) is None:
                sys.exit("no broadcast for device %d:\n%s" % (i, module.log()))
        devices = host.devices()
        if devices.n_children() != args.devices:
            sys.exit("expected %d devices, read %d" % (args.devices, devices.n_children()))

        results = {
            "Devices (%d devices, %d bytes)" % (args.devices, devices.get_size()):
                time_reads(host.devices, args.reads),
            "Version": time_reads(lambda: host.get("Version"), args.reads),
        }
        if not module.running():
            sys.exit("the module ended:\n" + module.log())
    finally:
        if host:
            host.close()
        if listener:
            listener.close()
        if module:
            module.stop()
        bus.close()
        nuvtest.shutil.rmtree(tmp, ignore_errors=True)

    print("Properties.Get round trip from another process, %d reads each (microseconds)"
          % args.reads)
    print("%-32s %9s %9s %9s %9s" % ("", "p50", "p90", "p99", "max"))
    for name, values in results.items():
        print("%-32s %9.1f %9.1f %9.1f %9.1f" % (name, percentile(values, 50),
                                                 percentile(values, 90), percentile(values, 99),
                                                 max(values)))
    p99 = percentile(next(iter(results.values())), 99)
    print("Devices p99 %.3f ms (goal: under 1 ms)" % (p99 / 1000.0))


if __name__ == "__main__":
    main()
