#!/usr/bin/python3
"""Poll-cycle benchmark: the module against the shell loop a user would write
(probe | awk | gdbus emit, every 5 s), side by side on one private session bus.

For each: CPU time per poll cycle (the process tree: the module or the loop,
with the probe runs it waited for; the module's start-up, up to its first
broadcast, is left out), peak RSS, and the latency from the probe's exit to the
broadcast reaching a listener. CPU is read in clock ticks (10 ms), so run long
enough for many cycles.

    bench/poll_cycle.py [--seconds 60] [--build build]
"""

import argparse
import os
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


def read_exits(work):
    try:
        with open(os.path.join(work, "exits")) as f:
            return [int(x) for x in f.read().split()]
    except FileNotFoundError:
        return []


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


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    args = ap.parse_args()
    os.environ["NUV_BUILD_DIR"] = os.path.abspath(args.build)
    import nuvtest  # noqa: E402  (reads NUV_BUILD_DIR)
    from nuvtest import Listener, SessionBus

    probe = os.path.join(args.build, "bench", "poll_probe")
    if not os.access(probe, os.X_OK):
        sys.exit("build the benchmarks first: %s is missing" % probe)
    tmp = tempfile.mkdtemp(prefix="nuv-bench-")
    bus = SessionBus()
    results = {}
    try:
        # The module, with the instant probe as its bundle's probe.
        work = os.path.join(tmp, "module")
        os.makedirs(work)
        bundle = nuvtest.Bundle(tmp, "NUVModule.app")
        shutil.copy(probe, bundle.probe)
        listener = Listener(bus, "iOSStack")
        received = []
        env = {"NUV_BENCH_DIR": work}
        module = nuvtest.Module(bundle, bus, tmp, env)
        t_end = time.monotonic() + args.seconds
        cpu_at_first = None
        while time.monotonic() < t_end:
            item = listener.next_timed(max(0.01, t_end - time.monotonic()))
            if item:
                received.append(time.time_ns() - int((time.monotonic() - item[0]) * 1e9))
                if cpu_at_first is None:
                    # Start-up (bus, bundle, databases) is not a poll cycle.
                    cpu_at_first = proc_cpu_seconds(module.pid)
        cpu = proc_cpu_seconds(module.pid) - (cpu_at_first or 0.0)
        rss = peak_rss_kib(module.pid)
        bus.emit("vemo.Tallyport.kill")
        module.wait(10)
        module.stop()
        listener.close()
        cycles = len(read_exits(work)) - 1  # cycles after the first broadcast
        results["module"] = (cycles, cpu, rss, latencies(received, work))

        # The shell loop.
        work = os.path.join(tmp, "shell")
        os.makedirs(work)
        listener = Listener(bus, "iOSStack")
        received = []
        env = bus.env()
        env.update({"NUV_BENCH_DIR": work, "PROBE": probe})
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        loop = subprocess.Popen(["bash", "-c", SHELL_LOOP], env=env, start_new_session=True,
                                stdout=subprocess.DEVNULL)
        t_end = time.monotonic() + args.seconds
        while time.monotonic() < t_end:
            item = listener.next_timed(max(0.01, t_end - time.monotonic()))
            if item:
                received.append(time.time_ns() - int((time.monotonic() - item[0]) * 1e9))
        os.killpg(loop.pid, signal.SIGTERM)
        loop.wait()
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
        listener.close()
        cycles = len(read_exits(work))
        # ru_maxrss of children is the largest single process of the loop.
        results["shell loop"] = (cycles, cpu, after.ru_maxrss, latencies(received, work))
    finally:
        bus.close()
        shutil.rmtree(tmp, ignore_errors=True)

    print("%-11s %7s %15s %13s %14s %14s" % ("", "cycles", "CPU/cycle (ms)", "peak RSS (MiB)",
                                              "latency p50 ms", "latency p99 ms"))
    for name, (cycles, cpu, rss, lat) in results.items():
        print("%-11s %7d %15.3f %13.1f %14.3f %14.3f" % (
            name, cycles, 1000.0 * cpu / max(cycles, 1), rss / 1024.0,
            percentile(lat, 50), percentile(lat, 99)))
    m, s = results["module"], results["shell loop"]
    if m[0] and s[0] and m[1] > 0:
        print("shell loop / module CPU per cycle: %.1fx" % ((s[1] / s[0]) / (m[1] / m[0])))


if __name__ == "__main__":
    main()
