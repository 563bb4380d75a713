#!/usr/bin/python3
"""Host service benchmark: the round trip of a `Devices` read from another
process (a host application's Properties.Get on the module's bus name), with
100 devices in the map, on a private session bus.

What is timed: from the call to the parsed reply, in the host, synchronously,
one read at a time. Three hosts read:
  python  this script over PyGObject, as the README's subscriber does (the
          reply parsed into a GLib.Variant);
  gdbus   bench/host_read, C over GDBus as nuvctl and the devices window do;
  libdbus bench/host_read, C over libdbus, every value of the reply read
          through its iterators: the lightest common client, where the bus
          and the server are most of the round trip.
Beside the module's Devices:
  Version   the module's short string property: the bus round trip itself;
  floor     the same Devices reply bytes from bench/host_floor_server, the
            cheapest server there is (libdbus, the reply marshalled once and
            copied per read): what any server would get with this client.
For each case also the CPU per read of the server, the bus daemon and the
client (from /proc ticks; the client's from its rusage), and the load average
before and after, since other processes on the machine shift every number.

The module runs from a bundle copy whose probe reports one of the devices per
run; Refresh() fills the map without waiting for the poll timer.

With --instructions N, a second module with the same map runs under
callgrind, and the instructions of its process per Devices and per Version
read (over N reads each) are counted: the server's work per read, the same on
every run.

    bench/host_service.py [--reads 5000] [--devices 100] [--build build]
                          [--instructions N] [--smoke]
"""

import argparse
import os
import resource
import subprocess
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

FLOOR_NAME = "vemo.Tallyport.NUVModuleFloor"
TICK = 1.0 / os.sysconf("SC_CLK_TCK")


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, max(0, int(round(p / 100.0 * (len(values) - 1)))))]


def cpu_seconds(pid):
    """utime + stime of a live process."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * TICK


def python_reads(nuvtest, conn, name, prop, count):
    """(microseconds per read, client CPU seconds) over PyGObject."""
    from gi.repository import Gio, GLib

    def read():
        return conn.call_sync(name, nuvtest.HOST_PATH, "org.freedesktop.DBus.Properties", "Get",
                              GLib.Variant("(ss)", (nuvtest.HOST_INTERFACE, prop)),
                              GLib.VariantType("(v)"), Gio.DBusCallFlags.NO_AUTO_START, 5000,
                              None).get_child_value(0).get_variant()

    for _ in range(min(50, count)):
        read()
    out = []
    cpu = resource.getrusage(resource.RUSAGE_SELF)
    for _ in range(count):
        t = time.perf_counter_ns()
        read()
        out.append((time.perf_counter_ns() - t) / 1000.0)
    after = resource.getrusage(resource.RUSAGE_SELF)
    return out, (after.ru_utime + after.ru_stime) - (cpu.ru_utime + cpu.ru_stime)


def c_reads(tool, library, env, name, prop, count):
    """(microseconds per read, client CPU seconds) from bench/host_read."""
    out = subprocess.run([tool, library, name, prop, str(count)], env=env, check=True,
                         capture_output=True, text=True, timeout=300).stdout.split("\n")
    lines = [line for line in out if line]
    return [float(x) for x in lines[:-1]], int(lines[-1].split()[1]) * 1e-6


def start_module(nuvtest, bus, tmp, name, devices, listener, host, counted=False):
    """(module, callgrind.Counter or None): a module from a bundle copy `name`
    whose map holds `devices` devices, filled with one Refresh() per device
    (each run adds one and broadcasts); `counted`: under callgrind."""
    bundle = nuvtest.Bundle(tmp, name)
    bundle.set_probe_script(PROBE)
    counter = None
    if counted:
        import callgrind  # noqa: E402  (imports nuvtest)

        counter = callgrind.Counter(bundle, tmp)
    work = os.path.join(tmp, name + ".work")
    os.makedirs(work)
    module = nuvtest.Module(bundle, bus, tmp, {"NUV_BENCH_DIR": work,
                                                "NUV_BENCH_DEVICES": str(devices)})
    if not nuvtest.wait_until(host.owner, 120 if counted else 10):
        sys.exit("the module did not take its bus name:\n" + module.log())
    for i in range(devices):
        host.refresh()
        if listener.next(60 if counted else 10) is None:
            sys.exit("no broadcast for device %d:\n%s" % (i, module.log()))
    n = host.devices().n_children()
    if n != devices:
        sys.exit("expected %d devices, read %d" % (devices, n))
    return module, counter


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reads", type=int, default=5000)
    ap.add_argument("--devices", type=int, default=100)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--instructions", type=int, default=0, metavar="N",
                    help="also count the module's instructions per read over N reads")
    ap.add_argument("--smoke", action="store_true", help="a few hundred reads, for the tests")
    args = ap.parse_args()
    if args.smoke:
        args.reads, args.devices = 200, min(args.devices, 20)
        args.instructions = min(args.instructions, 20)
    os.environ["NUV_BUILD_DIR"] = os.path.abspath(args.build)
    import nuvtest  # noqa: E402  (reads NUV_BUILD_DIR)

    tools = {name: os.path.join(args.build, "bench", name)
             for name in ("host_read", "host_floor_server")}
    for path in tools.values():
        if not os.access(path, os.X_OK):
            sys.exit("build the benchmarks first: %s is missing" % path)
    tmp = tempfile.mkdtemp(prefix="nuv-bench-host-")
    bus = nuvtest.SessionBus()
    module = host = listener = floor = None
    results = []
    instructions = {}
    load = [os.getloadavg()]
    try:
        listener = nuvtest.Listener(bus, "iOSStack")
        host = nuvtest.Host(bus)
        module, _ = start_module(nuvtest, bus, tmp, "NUVModule.app", args.devices, listener,
                                 host)
        size = host.devices().get_size()

        floor = subprocess.Popen([tools["host_floor_server"], nuvtest.HOST_NAME, FLOOR_NAME],
                                 env=bus.env(), stdout=subprocess.PIPE, text=True)
        if floor.stdout.readline().strip() != "ready":
            sys.exit("host_floor_server did not start")
        daemon = bus.proc.pid
        cases = [(client, what, FLOOR_NAME if what == "floor" else nuvtest.HOST_NAME,
                  floor.pid if what == "floor" else module.proc.pid)
                 for client in ("python", "gdbus", "libdbus")
                 for what in ("Devices", "Version", "floor")]
        for client, what, name, server in cases:
            prop = "Version" if what == "Version" else "Devices"
            before = (cpu_seconds(server), cpu_seconds(daemon))
            if client == "python":
                times, client_cpu = python_reads(nuvtest, host.conn, name, prop, args.reads)
            else:
                times, client_cpu = c_reads(tools["host_read"], client, bus.env(), name, prop,
                                            args.reads)
            cpu = (cpu_seconds(server) - before[0], cpu_seconds(daemon) - before[1], client_cpu)
            results.append((client, what, times, [1e3 * x / args.reads for x in cpu]))
        load.append(os.getloadavg())
        if not module.running():
            sys.exit("the module ended:\n" + module.log())

        if args.instructions:
            # The same map in a module under callgrind, read by the Python host.
            module.stop()
            if not nuvtest.wait_until(lambda: not host.owner(), 10):
                sys.exit("the module did not release its name")
            module, counter = start_module(nuvtest, bus, tmp, "callgrind.app", args.devices,
                                           listener, host, counted=True)
            for prop in ("Devices", "Version"):
                counter.zero(module.proc.pid)
                for _ in range(args.instructions):
                    host.get(prop)
                instructions[prop] = counter.total(module.proc.pid) / args.instructions
    finally:
        if floor:
            floor.terminate()
            floor.wait(10)
        if host:
            host.close()
        if listener:
            listener.close()
        if module:
            module.stop()
        bus.close()
        nuvtest.shutil.rmtree(tmp, ignore_errors=True)

    print("Properties.Get round trip from another process, %d reads each; Devices: %d devices, "
          "%d bytes" % (args.reads, args.devices, size))
    print("load average before %.2f %.2f %.2f, after %.2f %.2f %.2f" % (load[0] + load[-1]))
    print("%-7s %-8s %9s %9s %9s %9s   %s" % ("client", "read", "p50 us", "p90 us", "p99 us",
                                             "max us", "CPU/read ms: server daemon client"))
    for client, what, times, cpu in results:
        print("%-7s %-8s %9.1f %9.1f %9.1f %9.1f   %19.3f %6.3f %6.3f" % (
            client, what, percentile(times, 50), percentile(times, 90), percentile(times, 99),
            max(times), *cpu))
    for prop, count in instructions.items():
        print("module instructions per %s read: %.0f (callgrind, %d reads, every thread)"
              % (prop, count, args.instructions))
    for client, what, times, _ in results:
        if what == "Devices":
            print("Devices p99 from %s %.3f ms (goal: under 1 ms)"
                  % (client, percentile(times, 99) / 1000.0))


if __name__ == "__main__":
    main()
