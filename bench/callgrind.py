"""A module's own instructions, counted by callgrind: for the script benchmarks
whose CPU times a machine shared with other work blurs by more than a change
costs. Counts are the same on every run, whatever else the machine does.

    counter = Counter(bundle, folder)   # before the module starts
    ... start the module from `bundle`, let it settle ...
    counter.zero(pid); ...work...; instructions = counter.total(pid)

Needs valgrind (Debian: valgrind)."""

import os
import subprocess

import nuvtest


class Counter:
    def __init__(self, bundle, folder):
        """Makes `bundle` start its module under callgrind, writing to `folder`.
        valgrind runs the module in its own process: the module's pid is
        valgrind's, and the probes it starts are not counted."""
        self.out = os.path.join(folder, "callgrind.out")
        self.dumps = 0
        real = bundle.executable + ".real"
        os.rename(bundle.executable, real)
        nuvtest.make_executable(bundle.executable, "#!/bin/sh\nexec valgrind --tool=callgrind "
                                "--callgrind-out-file=%s.%%p \"$0.real\" \"$@\"\n" % self.out)

    def zero(self, pid):
        subprocess.run(["callgrind_control", "--zero", str(pid)], check=True, capture_output=True)

    def total(self, pid):
        """Instructions of every thread of the module since zero()."""
        subprocess.run(["callgrind_control", "--dump", str(pid)], check=True, capture_output=True)
        self.dumps += 1
        with open("%s.%d.%d" % (self.out, pid, self.dumps)) as f:
            return next(int(line.split()[1]) for line in f if line.startswith("summary:"))
