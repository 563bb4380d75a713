"""A desktop for integration tests: Xvfb, a private session bus and the AT-SPI
accessibility bus, with small GTK test windows and screenshots; and the same
desktop on Wayland, with headless weston instead of Xvfb.

Every wait is bounded.
"""

import glob
import os
import shutil
import subprocess
import tempfile
import unittest

import nuvtest
from nuvtest import Lines, stop_process

HERE = os.path.dirname(os.path.abspath(__file__))
GTK_WINDOW = os.path.join(HERE, "helpers", "gtk_window.py")
LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
SCREEN_W, SCREEN_H = 1024, 768
PYTHON = "/usr/bin/python3"


def requires_display(cls):
    """Skips a DesktopTestCase class (with the reason) where its desktop cannot be made."""
    server = "weston" if issubclass(cls.DESKTOP, WaylandDesktop) else "Xvfb"
    for ok, reason in ((shutil.which(server), server + " is not installed"),
                       (shutil.which("dbus-daemon"), "dbus-daemon is not installed"),
                       (os.access(LAUNCHER, os.X_OK),
                        "at-spi2-core's bus launcher is not installed")):
        cls = unittest.skipUnless(ok, reason)(cls)
    return cls


SCREENSHOT = """
import sys, gi
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk
root = Gdk.get_default_root_window()
Gdk.pixbuf_get_from_window(root, 0, 0, root.get_width(), root.get_height()).savev(
    sys.argv[1], "png", [], [])
"""


class Desktop:
    """Xvfb + session bus + accessibility bus, torn down in reverse order."""

    def __init__(self):
        self.procs = []
        self.bus = None
        self.tmp = tempfile.mkdtemp(prefix="nuv-desktop-")  # private, as a runtime folder is
        self.env = dict(os.environ)
        for key in ("NO_AT_BRIDGE", "GTK_MODULES", "WAYLAND_DISPLAY"):
            self.env.pop(key, None)
        self.env.update({"XDG_RUNTIME_DIR": self.tmp, "HOME": self.tmp, "GDK_BACKEND": "x11",
                         "XDG_CACHE_HOME": os.path.join(self.tmp, "cache")})

    def spawn(self, argv, stdin=subprocess.DEVNULL):
        """Starts a child of the desktop; returns the first line of its output
        (None after 20 s)."""
        proc = subprocess.Popen(argv, stdin=stdin, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, env=self.env)
        self.procs.append(proc)
        return Lines(proc.stdout).next(20)

    def start(self):
        self.bus = nuvtest.SessionBus()
        self.env = self.bus.env(self.env)
        self.start_display()
        self.procs.append(subprocess.Popen([LAUNCHER, "--launch-immediately"],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                           env=self.env))
        if not nuvtest.wait_until(lambda: self.get_status("IsEnabled") is not None, 10, 0.1):
            raise unittest.SkipTest("accessibility bus launcher did not come up")

    def start_display(self):
        display = self.spawn(["Xvfb", "-displayfd", "1", "-screen", "0",
                              "%dx%dx24" % (SCREEN_W, SCREEN_H), "-nolisten", "tcp",
                              "+extension", "Composite"])
        if not display:
            raise unittest.SkipTest("Xvfb did not start")
        self.env["DISPLAY"] = ":" + display

    def status_call(self, method, *args):
        """org.a11y.Status's properties, through gdbus on the accessibility bus."""
        return nuvtest.run(["gdbus", "call", "--session", "-d", "org.a11y.Bus", "-o",
                            "/org/a11y/bus", "-m", "org.freedesktop.DBus.Properties." + method,
                            "org.a11y.Status", *args], self.env, 10)

    def get_status(self, prop):
        out = self.status_call("Get", prop)
        return "true" in out.stdout if out.returncode == 0 else None

    def set_status(self, prop, value):
        out = self.status_call("Set", prop, "<%s>" % ("true" if value else "false"))
        assert out.returncode == 0, out.stderr

    def window(self, title, color, *geometry):
        line = self.spawn([PYTHON, GTK_WINDOW, title, color, *map(str, geometry)],
                          stdin=subprocess.PIPE)
        if not line or not line.startswith("ready"):
            raise AssertionError("test window %r did not come up" % title)
        fields = dict(item.split("=") for item in line.split()[1:])
        return int(fields["xid"]), int(fields["pid"])

    def screenshot(self, path):
        """Writes the screen to `path` (PNG)."""
        os.makedirs(os.path.dirname(path), exist_ok=True)
        nuvtest.run([PYTHON, "-c", SCREENSHOT, path], self.env, check=True)

    def stop(self):
        for proc in reversed(self.procs):
            if proc.stdin:
                proc.stdin.close()  # the test windows end with their input
            stop_process(proc, 5)
            if proc.stdout:
                proc.stdout.close()
        if self.bus:
            self.bus.close()
        shutil.rmtree(self.tmp, ignore_errors=True)


class WaylandDesktop(Desktop):
    """The desktop on headless weston: no display, no GPU. DISPLAY is unset
    and GDK_BACKEND is wayland, so a GTK program cannot fall back to X11.
    Weston's own desktop shell places the windows (its kiosk shell never
    repaints the headless output) and its helper clients end with weston.
    Weston logs the Wayland requests of its clients (`requests()`), which
    shows what a program tells the compositor."""

    SOCKET = "wayland-nuv"
    WIDTH, HEIGHT = 800, 480

    def __init__(self):
        super().__init__()
        self.env.pop("DISPLAY", None)
        self.env["GDK_BACKEND"] = "wayland"
        self.weston_log = os.path.join(self.tmp, "weston.log")

    def start_display(self):
        # --debug offers the screenshooter protocol; the "proto" scope logs
        # every request with its arguments. Without --log, weston logs to its
        # standard error, so its start-up messages are in the log too.
        with open(self.weston_log, "wb") as log:
            weston = subprocess.Popen(
                ["weston", "--backend=headless-backend.so", "--socket=" + self.SOCKET,
                 "--idle-time=0", "--use-pixman", "--no-config", "--width=%d" % self.WIDTH,
                 "--height=%d" % self.HEIGHT, "--debug", "--logger-scopes=log,proto"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log, env=self.env)
        self.procs.append(weston)
        path = os.path.join(self.tmp, self.SOCKET)
        if not nuvtest.wait_until(lambda: weston.poll() is not None or os.path.exists(path), 10,
                                  0.05) or weston.poll() is not None:
            stop_process(weston, 5)
            raise unittest.SkipTest("weston did not start: " + self.requests()[-1000:].strip())
        self.env["WAYLAND_DISPLAY"] = self.SOCKET

    def requests(self):
        """Weston's log: its own messages and its clients' requests."""
        return nuvtest.read(self.weston_log)

    def screenshot(self, path):
        """Writes the whole output, the shell's panel too, to `path` (PNG)."""
        os.makedirs(os.path.dirname(path), exist_ok=True)
        shots = tempfile.mkdtemp(dir=self.tmp)
        out = nuvtest.run(["weston-screenshooter"], self.env, cwd=shots)
        written = glob.glob(os.path.join(shots, "*.png"))
        assert out.returncode == 0 and len(written) == 1, out.stderr
        shutil.move(written[0], path)


class DesktopTestCase(unittest.TestCase):
    """A desktop of DESKTOP's kind per test class, for a program at PROGRAM."""

    DESKTOP = Desktop
    PROGRAM = None

    @classmethod
    def setUpClass(cls):
        if not os.access(cls.PROGRAM, os.X_OK):
            raise AssertionError("not built: " + cls.PROGRAM)
        cls.desktop = cls.DESKTOP()
        try:
            cls.desktop.start()
            cls.set_up_desktop()
        except BaseException:
            cls.desktop.stop()
            raise

    @classmethod
    def set_up_desktop(cls):
        """What the class puts on its desktop once it runs."""

    @classmethod
    def tearDownClass(cls):
        cls.desktop.stop()
