#!/usr/bin/python3
"""Host service benchmark: what a `Devices` read costs the module, and its
round trip, with 1, 10 and 100 devices in the map, on a private session bus.

A C host over GDBus (bench/host_read, as nuvctl reads) calls Properties.Get
on the module's bus name, synchronously, one read at a time. For each map:
  module CPU   run time of the module's threads per read (/proc schedstat, ns);
  daemon CPU   the same for dbus-daemon, which relays every read both ways;
  p50 / p99    the round trip in the host, from the call to the parsed reply;
  Version      p50 / p99 of reading the short Version string: the bus itself;
  RSS          the module's resident set once its map is full.
With --instructions N, the module runs again under callgrind and the
instructions of its process per Devices read are counted over N reads: the
module's work per read, the same on every run whatever else the machine does.
With --baseline OTHER_BUILD, that build's module (the version before a change)
runs first under the same conditions, read by this build's host.

The module runs from a bundle copy whose probe reports one more device per
run; Refresh() fills the map without waiting for the poll timer.

    bench/host_service.py [--reads 2000] [--devices 1,10,100] [--build build]
                          [--baseline OTHER_BUILD] [--instructions N] [--smoke]
"""

import argparse
import glob
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))

# Device n % NUV_BENCH_DEVICES on run n, with every fact a real probe prints.
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


def run_ns(pid):
    """CPU time of every live thread of `pid`, in nanoseconds."""
    total = 0
    for path in glob.glob("/proc/%d/task/*/schedstat" % pid):
        try:
            with open(path) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # a thread that just ended
    return total


def rss_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:")) / 1024.0


class Run:
    """A module from `source` (a bundle) whose map grows one device per Refresh()."""

    def __init__(self, nuvtest, bus, tmp, name, source, most, listener, host, counted=False):
        self.nuvtest, self.listener, self.host, self.counted = nuvtest, listener, host, counted
        bundle = nuvtest.Bundle(tmp, name, source=source)
        bundle.set_probe_script(PROBE)
        self.counter = None
        if counted:
            import callgrind  # noqa: E402  (imports nuvtest)

            self.counter = callgrind.Counter(bundle, tmp)
        work = os.path.join(tmp, name + ".work")
        os.makedirs(work)
        self.module = nuvtest.Module(bundle, bus, tmp, {"NUV_BENCH_DIR": work,
                                                         "NUV_BENCH_DEVICES": str(most)})
        if not nuvtest.wait_until(host.owner, 120 if counted else 10):
            sys.exit("the module did not take its bus name:\n" + self.module.log())

    def fill(self, devices):
        while self.host.devices().n_children() < devices:
            self.host.refresh()
            if self.listener.next(60 if self.counted else 10) is None:
                sys.exit("no broadcast:\n" + self.module.log())

    def stop(self):
        self.module.stop()
        if not self.nuvtest.wait_until(lambda: not self.host.owner(), 10):
            sys.exit("the module did not release its name")


def reads(tool, env, prop, count):
    """Round trips in milliseconds from bench/host_read."""
    out = subprocess.run([tool, "vemo.Tallyport.NUVModule", prop, str(count)], env=env,
                         check=True, capture_output=True, text=True, timeout=600).stdout.split()
    return [float(x) / 1000.0 for x in out if x.isdigit()][:count]


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reads", type=int, default=2000)
    ap.add_argument("--devices", default="1,10,100")
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--baseline", help="another build folder whose module runs first")
    ap.add_argument("--instructions", type=int, default=0, metavar="N",
                    help="also count the module's instructions per read over N reads")
    ap.add_argument("--smoke", action="store_true", help="a few reads of small maps, for the tests")
    args = ap.parse_args()
    sizes = sorted(int(x) for x in args.devices.split(","))
    if args.smoke:
        args.reads, sizes, args.instructions = 100, [1, 10], min(args.instructions, 5)
    os.environ["NUV_BUILD_DIR"] = os.path.abspath(args.build)
    import nuvtest  # noqa: E402  (reads NUV_BUILD_DIR)

    tool = os.path.join(args.build, "bench", "host_read")
    if not os.access(tool, os.X_OK):
        sys.exit("build the benchmarks first: %s is missing" % tool)
    builds = [("after", nuvtest.BUNDLE)]
    if args.baseline:
        builds.insert(0, ("before", os.path.join(os.path.abspath(args.baseline), "NUVModule.app")))
    tmp = tempfile.mkdtemp(prefix="nuv-bench-host-")
    bus = nuvtest.SessionBus()
    listener = nuvtest.Listener(bus, "iOSStack")
    host = nuvtest.Host(bus)
    rows, load = [], [os.getloadavg()]
    try:
        for label, source in builds:
            run = Run(nuvtest, bus, tmp, label + ".app", source, sizes[-1], listener, host)
            try:
                for n in sizes:
                    run.fill(n)
                    pids = (run.module.proc.pid, bus.proc.pid)
                    before = [run_ns(p) for p in pids]
                    times = reads(tool, bus.env(), "Devices", args.reads)
                    cpu = [(run_ns(p) - b) / 1e6 / args.reads for p, b in zip(pids, before)]
                    version = reads(tool, bus.env(), "Version", args.reads)
                    rows.append([label, n, host.devices().get_size(), *cpu,
                                 percentile(times, 50), percentile(times, 99),
                                 percentile(version, 50), percentile(version, 99),
                                 rss_mib(run.module.proc.pid), None])
            finally:
                run.stop()
            if args.instructions:
                run = Run(nuvtest, bus, tmp, label + "-callgrind.app", source, sizes[-1], listener,
                          host, counted=True)
                try:
                    for n in sizes:
                        run.fill(n)
                        run.counter.zero(run.module.proc.pid)
                        for _ in range(args.instructions):
                            host.devices()
                        count = run.counter.total(run.module.proc.pid) / args.instructions
                        next(r for r in rows if r[:2] == [label, n])[-1] = count
                finally:
                    run.stop()
        load.append(os.getloadavg())
    finally:
        host.close()
        listener.close()
        bus.close()
        nuvtest.shutil.rmtree(tmp, ignore_errors=True)

    print("Properties.Get(Devices) from a C host over GDBus, %d reads per row" % args.reads)
    print("load average before %.2f %.2f %.2f, after %.2f %.2f %.2f" % (load[0] + load[-1]))
    print("%-7s %7s %7s %11s %11s %8s %8s %14s %8s %12s" % (
        "build", "devices", "bytes", "module ms", "daemon ms", "p50 ms", "p99 ms",
        "Version p50/99", "RSS MiB", "instr/read"))
    for r in rows:
        print("%-7s %7d %7d %11.4f %11.4f %8.3f %8.3f %6.3f/%-7.3f %8.1f %12s" % (
            *r[:10], "-" if r[10] is None else "%.0f" % r[10]))


if __name__ == "__main__":
    main()
