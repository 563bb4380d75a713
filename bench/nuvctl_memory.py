#!/usr/bin/python3
"""nuvctl's memory: the resident set of an idle `nuvctl watch` (on a private
session bus, after its first map) and of a `nuvctl cloud login` waiting for
the pasted token (against the loopback fake CloudKit server: the command
that loads the CloudKit plug-in), with the part of each that libcurl and its
network and TLS libraries map. Medians over the samples.

    bench/nuvctl_memory.py [--samples 5] [--build build] [--smoke]
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))


def measure(pid, nuvtest):
    """(RSS, network libraries mapped, their RSS) of `pid`, in KiB."""
    with open("/proc/%d/smaps" % pid) as f:
        smaps = f.read()
    rss = mapped = network_rss = 0
    network = False
    for line in smaps.splitlines():
        head = re.match(r"^[0-9a-f]+-[0-9a-f]+ ", line)
        if head:
            network = bool(nuvtest.network_libraries(line))
        elif line.startswith("Size:") and network:
            mapped += int(line.split()[1])
        elif line.startswith("Rss:"):
            rss += int(line.split()[1])
            if network:
                network_rss += int(line.split()[1])
    return rss, mapped, network_rss


def watch_sample(nuvtest, bus):
    proc = subprocess.Popen([nuvtest.NUVCTL, "watch", "--json"], env=bus.env(),
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            stdin=subprocess.DEVNULL, text=True)
    out = nuvtest.Lines(proc.stdout)
    try:
        # Subscribed once a broadcast shows up.
        if not nuvtest.wait_until(lambda: bus.emit("iOSStack") or out.next(0.2), 10):
            sys.exit("nuvctl watch never showed a broadcast")
        return measure(proc.pid, nuvtest)
    finally:
        nuvtest.stop_process(proc)
        out.join()
        proc.stdout.close()


def login_sample(nuvtest, server, home):
    server.control("reset", {"apiToken": nuvtest.CLOUDKIT_API_TOKEN})
    env = dict(os.environ, XDG_CONFIG_HOME=home, DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent")
    proc = subprocess.Popen([nuvtest.NUVCTL, "cloud", "login"], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, stdin=subprocess.PIPE, text=True)
    out = nuvtest.Lines(proc.stdout)
    try:
        # Signed out: it prints the sign-in URL and waits for the paste.
        while True:
            line = out.next(10)
            if line is None:
                sys.exit("nuvctl cloud login never asked for the token")
            if "paste" in line:
                return measure(proc.pid, nuvtest)
    finally:
        proc.stdin.close()
        nuvtest.stop_process(proc)
        out.join()
        proc.stdout.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--samples", type=int, default=5)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--smoke", action="store_true", help="one sample, for the tests")
    args = ap.parse_args()
    if args.smoke:
        args.samples = 1
    os.environ["NUV_BUILD_DIR"] = os.path.abspath(args.build)
    import nuvtest  # noqa: E402  (reads NUV_BUILD_DIR)

    home = tempfile.mkdtemp(prefix="nuv-bench-nuvctl-")
    bus = nuvtest.SessionBus()
    server = nuvtest.FakeCloudKit()
    try:
        nuvtest.write_cloud_config(home, server.endpoint)
        rows = {"nuvctl watch (idle)": [watch_sample(nuvtest, bus) for _ in range(args.samples)],
                "nuvctl cloud login (waiting)": [login_sample(nuvtest, server, home)
                                                 for _ in range(args.samples)]}
    finally:
        server.close()
        bus.close()
        shutil.rmtree(home, ignore_errors=True)

    print("| process | RSS | network libraries mapped | their RSS |")
    print("|---|---|---|---|")
    for name, samples in rows.items():
        rss, mapped, network = (statistics.median(s[i] for s in samples) / 1024 for i in range(3))
        print("| %s | %.1f MiB | %.1f MiB | %.1f MiB |" % (name, rss, mapped, network))
    if rows["nuvctl watch (idle)"][0][1]:
        sys.exit("nuvctl watch maps network libraries")


if __name__ == "__main__":
    main()
