#!/usr/bin/python3
"""Poll-cycle benchmark: the module against the shell loop a user would write
(probe | awk | gdbus emit, every 5 s), side by side on one private session bus.

For each: CPU time per poll cycle (the whole process tree: the module or the
loop, with every probe run; start-up, up to the first broadcast, is left out),
also without what the probe used itself (it reports its own rusage),
peak RSS, and the latency from the probe's exit to the broadcast reaching a
listener. CPU comes from a cpuacct cgroup in nanoseconds when one can be made
(root on cgroup v1, or a writable cgroup v2 subtree); otherwise from clock
ticks of the process and its reaped children, which needs long runs.

Before that, the real probe runs against the scripted usbmuxd of the tests
(one trusted iPhone on external power, with a real battery registry entry):
its wall time and its own CPU per run without a relay request (the kept
reading printed) and with one (the reading due), what one relay round trip
adds, and what that comes to per run on average when the relay is asked at
most once a minute and runs follow each other 5 s apart.

With --baseline, the module of another build (the version before a change)
runs first under the same conditions, so that the cost of the change per
poll cycle shows in one run.

CPU time on a machine that other work shares moves by more than a change
costs; with --instructions N each module then runs again under callgrind for
N cycles, which counts the instructions of the module's own process (every
thread; not the probe) per cycle: the same on every run, whatever else the
machine does.

    bench/poll_cycle.py [--seconds 60] [--build build] [--baseline OTHER_BUILD]
                        [--instructions N] [--probe-runs N] [--smoke]
"""

import argparse
import os
import plistlib
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))

SHELL_LOOP = r"""
while :; do
  out=$("$PROBE" -f)
  bonjour=$(printf '%s\n' "$out" | awk -F'\t' '$1 == "Bonjour" { print $2 }')
  entry=$(printf '%s\n' "$out" | awk -F'\t' 'NF == 2 { gsub(/'\''/, "\\'\''", $2);
          printf "%s'\''%s'\'': <'\''%s'\''>", sep, $1, $2; sep = ", " }')
  gdbus emit --session --object-path /vemo/DistributedNotifications \
    --signal vemo.DistributedNotifications.Notification iOSStack '' "{'$bonjour': <{$entry}>}"
  sleep 5
done
"""


def percentile(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    k = min(len(values) - 1, max(0, int(round(p / 100.0 * (len(values) - 1)))))
    return values[k]


def read_numbers(work, name):
    try:
        with open(os.path.join(work, name)) as f:
            return [int(x) for x in f.read().split()]
    except FileNotFoundError:
        return []


def read_exits(work):
    return read_numbers(work, "exits")


def latencies(listener, work):
    """Pairs each broadcast with the last probe exit before it."""
    exits = read_exits(work)
    out = []
    for received_ns in listener:
        before = [e for e in exits if e <= received_ns]
        if before:
            out.append((received_ns - before[-1]) / 1e6)
    return out


def proc_cpu_seconds(pid):
    """utime + stime + cutime + cstime of a live process, in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = sum(int(fields[i]) for i in (11, 12, 13, 14))
    return ticks / os.sysconf("SC_CLK_TCK")


class CpuMeter:
    """CPU time of a process tree: a dedicated cgroup when possible (exact, and
    it also counts children that are still running), else /proc ticks."""

    ROOTS = (("/sys/fs/cgroup/cpuacct", "cpuacct.usage", 1e-9),
             ("/sys/fs/cgroup/unified", "cpu.stat", 1e-6),
             ("/sys/fs/cgroup", "cpu.stat", 1e-6))

    def __init__(self, name):
        self.path = None
        for root, stat, scale in self.ROOTS:
            path = os.path.join(root, "nuv-bench-%s-%d" % (name, os.getpid()))
            try:
                os.mkdir(path)
            except OSError:
                continue
            if os.path.exists(os.path.join(path, stat)):
                self.path, self.stat, self.scale = path, stat, scale
                break
            os.rmdir(path)
        self.pid = None

    @property
    def source(self):
        return "cgroup" if self.path else "ticks"

    def attach(self, pid):
        self.pid = pid
        if self.path:
            with open(os.path.join(self.path, "cgroup.procs"), "w") as f:
                f.write(str(pid))

    def seconds(self):
        if not self.path:
            return proc_cpu_seconds(self.pid)
        with open(os.path.join(self.path, self.stat)) as f:
            text = f.read()
        if self.stat == "cpu.stat":
            text = next(line.split()[1] for line in text.splitlines()
                        if line.startswith("usage_usec"))
        return int(text) * self.scale

    def close(self):
        if self.path:
            try:
                os.rmdir(self.path)
            except OSError:
                pass


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def run_side(name, listener, work, seconds, start):
    """Runs one side for `seconds` after its first broadcast; returns
    (cycles, cpu seconds, broadcast receive times, the started process)."""
    meter = CpuMeter(name.replace(" ", "-"))
    proc = start()
    meter.attach(proc.pid)
    received = []
    cpu_at_first = None
    exits_at_first = 0
    t_end = time.monotonic() + seconds + 30  # the first broadcast comes within a cycle
    while time.monotonic() < t_end:
        item = listener.next(max(0.01, t_end - time.monotonic()))
        if not item:
            continue
        received.append(item[0])  # arrival, CLOCK_REALTIME ns like the probe's exits
        if cpu_at_first is None:
            # Start-up (bus, bundle, databases) is not a poll cycle.
            cpu_at_first = meter.seconds()
            exits_at_first = len(read_exits(work))
            t_end = time.monotonic() + seconds
    cpu = meter.seconds() - (cpu_at_first or 0.0)
    cycles = len(read_exits(work)) - exits_at_first
    # What the probe runs cost by themselves; the same probe on both sides.
    probe_cpu = sum(read_numbers(work, "probe_cpu_ns")[exits_at_first:]) * 1e-9
    return cycles, (cpu, probe_cpu), received, proc, meter


def instructions_per_cycle(nuvtest, bus, tmp, name, built, probe, cycles):
    """Instructions of the module process per poll cycle under callgrind,
    counted from its first broadcast on."""
    import callgrind  # noqa: E402  (imports nuvtest)

    work = os.path.join(tmp, name + "-callgrind")
    os.makedirs(work)
    bundle = nuvtest.Bundle(tmp, name + "-callgrind.app", source=built)
    shutil.copy(probe, bundle.probe)
    counter = callgrind.Counter(bundle, work)
    listener = nuvtest.Listener(bus, "iOSStack")
    module = nuvtest.Module(bundle, bus, tmp, {"NUV_BENCH_DIR": work})
    try:
        # Start-up under valgrind takes a while; the first broadcast ends it.
        if listener.next(120) is None:
            sys.exit("no broadcast from %s under callgrind:\n%s" % (name, module.log()))
        counter.zero(module.proc.pid)
        for i in range(cycles):
            if listener.next(30) is None:
                sys.exit("cycle %d of %s under callgrind had no broadcast" % (i, name))
        return counter.total(module.proc.pid) / cycles
    finally:
        bus.emit("vemo.Tallyport.kill")
        module.wait(30)
        module.stop()
        listener.close()


def probe_runs(build, runs):
    """Mean (wall s, probe CPU s) per run of the real probe against the
    scripted usbmuxd, without and with the relay asked; the state folder on
    the runtime folder's file system, where the probe keeps it."""
    from fakeusbmuxd import FakeUsbmuxd, device_tls

    probe = os.path.join(build, "tools", "devinfo", "devInfo.NUVModule")
    with open(os.path.join(HERE, "..", "tests", "integration", "data",
                           "battery-entry-iphone-charging.plist"), "rb") as f:
        entry = plistlib.load(f)
    device_tls()  # the fake's certificate, made once and not timed
    tmp = tempfile.mkdtemp(prefix="nuv-bench-probe-", dir=os.environ.get("XDG_RUNTIME_DIR"))
    muxd = FakeUsbmuxd(tmp, {"00008030-0000BENCH0001": {
        "DeviceName": "Bench iPhone", "_paired": True, "_accepts": True, "_battery_entry": entry,
        "_battery": {"BatteryCurrentCapacity": 87, "BatteryIsCharging": True,
                     "ExternalConnected": True}}})
    env = dict(os.environ, USBMUXD_SOCKET_ADDRESS="UNIX:" + muxd.path, XDG_RUNTIME_DIR=tmp)
    reading = os.path.join(tmp, "vemo.Tallyport.NUVModule", "battery-reading")

    def one(relay):
        if relay and os.path.exists(reading):
            os.remove(reading)  # the reading due, as a minute after the last
        before = len(muxd.requests)
        cpu = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.monotonic()
        done = subprocess.run([probe, "-f"], env=env, capture_output=True, timeout=20)
        wall = time.monotonic() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        if done.returncode != 0 or b"Trusted\t1" not in done.stdout:
            sys.exit("probe run failed: %r" % done.stderr)
        if ("diagnostics:IORegistry" in muxd.requests[before:]) != relay:
            sys.exit("the relay was %sasked" % ("not " if relay else ""))
        return wall, (after.ru_utime + after.ru_stime) - (cpu.ru_utime + cpu.ru_stime)

    try:
        one(True)  # the day's health, and warm caches
        # Alternating, so that a change in the machine's load meets both.
        samples = {False: [], True: []}
        for _ in range(runs):
            for relay in (False, True):
                samples[relay].append(one(relay))
    finally:
        muxd.close()
        shutil.rmtree(tmp, ignore_errors=True)
    return {relay: tuple(sum(x) / len(x) for x in zip(*values)) for relay, values in samples.items()}


def print_probe_runs(means, runs):
    (wall0, cpu0), (wall1, cpu1) = means[False], means[True]
    print("probe against the scripted usbmuxd, %d runs each:" % runs)
    print("%-18s %10s %14s" % ("", "wall (ms)", "probe CPU (ms)"))
    print("%-18s %10.2f %14.2f" % ("without the relay", 1000 * wall0, 1000 * cpu0))
    print("%-18s %10.2f %14.2f" % ("with the relay", 1000 * wall1, 1000 * cpu1))
    print("%-18s %+10.2f %+14.2f" % ("one relay request", 1000 * (wall1 - wall0), 1000 * (cpu1 - cpu0)))
    # Runs 5 s apart; on external power at most one in (60 s / a run's period) asks.
    share = (5.0 + wall0) / 60.0
    print("%-18s %10.2f %14.2f   (relay asked in %.1f%% of runs)" % (
        "average per run", 1000 * (wall0 + share * (wall1 - wall0)),
        1000 * (cpu0 + share * (cpu1 - cpu0)), 100 * share))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--baseline", help="another build folder whose module runs first, for comparison")
    ap.add_argument("--instructions", type=int, default=0, metavar="N",
                    help="also count each module's instructions per cycle over N cycles")
    ap.add_argument("--probe-runs", type=int, default=50, metavar="N",
                    help="runs of the real probe with and without a relay request (0: none)")
    ap.add_argument("--smoke", action="store_true", help="one short cycle per side, for the tests")
    args = ap.parse_args()
    if args.smoke:
        args.seconds = 1.0
        args.instructions = min(args.instructions, 1)
        args.probe_runs = min(args.probe_runs, 2)
    os.environ["NUV_BUILD_DIR"] = os.path.abspath(args.build)
    import nuvtest  # noqa: E402  (reads NUV_BUILD_DIR)
    from nuvtest import Listener, SessionBus

    probe = os.path.join(args.build, "bench", "poll_probe")
    if not os.access(probe, os.X_OK):
        sys.exit("build the benchmarks first: %s is missing" % probe)
    probe_means = probe_runs(os.path.abspath(args.build), args.probe_runs) if args.probe_runs else None
    modules = [("module", nuvtest.BUNDLE)]
    if args.baseline:
        before = os.path.join(os.path.abspath(args.baseline), "NUVModule.app")
        if not os.access(os.path.join(before, "NUVModule"), os.X_OK):
            sys.exit("no module in %s" % before)
        modules.insert(0, ("before", before))
    tmp = tempfile.mkdtemp(prefix="nuv-bench-")
    bus = SessionBus()
    results = {}
    source = "ticks"
    try:
        # Each module, with the instant probe as its bundle's probe.
        for name, built in modules:
            work = os.path.join(tmp, name)
            os.makedirs(work)
            bundle = nuvtest.Bundle(tmp, name + ".app", source=built)
            shutil.copy(probe, bundle.probe)
            listener = Listener(bus, "iOSStack", stamped=True)
            module = None

            def start_module():
                nonlocal module
                module = nuvtest.Module(bundle, bus, tmp, {"NUV_BENCH_DIR": work})
                return module.proc

            cycles, cpu, received, proc, meter = run_side(name, listener, work, args.seconds,
                                                          start_module)
            rss = peak_rss_kib(proc.pid)
            bus.emit("vemo.Tallyport.kill")
            module.wait(10)
            module.stop()
            meter.close()
            listener.close()
            source = meter.source
            results[name] = (cycles, cpu, rss, latencies(received, work))

        # The shell loop.
        work = os.path.join(tmp, "shell")
        os.makedirs(work)
        listener = Listener(bus, "iOSStack", stamped=True)
        env = bus.env()
        env.update({"NUV_BENCH_DIR": work, "PROBE": probe})
        cycles, cpu, received, loop, meter = run_side(
            "shell loop", listener, work, args.seconds,
            lambda: subprocess.Popen(["bash", "-c", SHELL_LOOP], env=env, start_new_session=True,
                                     stdout=subprocess.DEVNULL))
        os.killpg(loop.pid, signal.SIGTERM)
        loop.wait()
        meter.close()
        listener.close()
        # ru_maxrss of children is the largest single process of the loop.
        rss = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        results["shell loop"] = (cycles, cpu, rss, latencies(received, work))

        # Last: valgrind, a child too, would count in the shell loop's RSS.
        instructions = {name: instructions_per_cycle(nuvtest, bus, tmp, name, built, probe,
                                                     args.instructions)
                        for name, built in modules if args.instructions}
    finally:
        bus.close()
        shutil.rmtree(tmp, ignore_errors=True)

    if probe_means:
        print_probe_runs(probe_means, args.probe_runs)
    print("CPU from %s" % source)
    print("%-11s %7s %15s %17s %14s %14s %14s" % (
        "", "cycles", "CPU/cycle (ms)", "w/o probe (ms)", "peak RSS (MiB)", "latency p50 ms",
        "latency p99 ms"))
    per_cycle = {}
    for name, (cycles, (cpu, probe_cpu), rss, lat) in results.items():
        n = max(cycles, 1)
        per_cycle[name] = (cpu / n, (cpu - probe_cpu) / n)
        print("%-11s %7d %15.3f %17.3f %14.1f %14.3f %14.3f" % (
            name, cycles, 1000.0 * cpu / n, 1000.0 * (cpu - probe_cpu) / n, rss / 1024.0,
            percentile(lat, 50), percentile(lat, 99)))
    m, s = per_cycle["module"], per_cycle["shell loop"]
    if m[0] > 0 and m[1] > 0:
        print("shell loop / module CPU per cycle: %.1fx (whole tree), %.1fx (without the probe)"
              % (s[0] / m[0], s[1] / m[1]))
    if "before" in per_cycle:
        b = per_cycle["before"]
        print("module - before, CPU per cycle without the probe: %+.3f ms"
              % (1000.0 * (m[1] - b[1])))
    for name, count in instructions.items():
        print("%-11s %.0f instructions per cycle (callgrind, %d cycles, module process only)"
              % (name, count, args.instructions))
    if len(instructions) == 2:
        print("module - before, instructions per cycle: %+.0f"
              % (instructions["module"] - instructions["before"]))


if __name__ == "__main__":
    main()
