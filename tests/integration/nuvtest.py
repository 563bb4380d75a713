"""Shared helpers for the integration tests: a private session bus, copies of
the built bundle with a scripted probe, the module as a real process, a
listener for distributed notifications, and the fake CloudKit server.

Every wait is bounded; a hang is a test failure, never a stuck run.
"""

import json
import os
import queue
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

BUILD_DIR = os.environ.get("NUV_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
BUNDLE = os.path.join(BUILD_DIR, "NUVModule.app")
NUVCTL = os.path.join(BUILD_DIR, "tools", "nuvctl", "nuvctl")
BRIDGE = os.path.join(BUILD_DIR, "tools", "bridge", "nuv-bridge")
OBJECT_PATH = "/vemo/DistributedNotifications"
INTERFACE = "vemo.DistributedNotifications"
MEMBER = "Notification"
BUNDLE_ID = "vemo.Tallyport.NUVModule"
# Bundle copies get an identifier of their own per test process, so that the
# single-instance rule never lets a test's module stop (or be stopped by) a
# module that runs outside this test run: the user's, or another run's.
TEST_BUNDLE_ID = "%s.test%d" % (BUNDLE_ID, os.getpid())
DEVICE = "Bonjour\tabc\nname\tMy Phone\nBattery\t85\nCharging\t1\nHost Attached\t1\n"
# nuv-devices' settings schema, compiled in the build tree.
SCHEMA_DIR = os.path.join(BUILD_DIR, "glib-2.0", "schemas")
FIRST_RUN = 5.0  # the first poll timer
SLACK = 4.0      # scheduling slack on a loaded machine (sanitizer builds)


def cmake_cache(name):
    """The value of a variable in the build's CMakeCache.txt ("" when unset)."""
    with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            if key.split(":")[0] == name:
                return value
    return ""


def run(argv, env=None, timeout=30, check=False, **more):
    """`argv` run to its end, its output captured as text; with `check`, an
    exit status other than 0 fails with that output."""
    argv = [str(a) for a in argv]
    done = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=timeout, **more)
    if check and done.returncode != 0:
        raise AssertionError("%s: exit %d\n%s%s" % (" ".join(argv), done.returncode, done.stdout,
                                                   done.stderr[-3000:]))
    return done


def install(prefix, env=None):
    """`cmake --install` of the build to `prefix` (with `env`, e.g. DESTDIR)."""
    run(["cmake", "--install", BUILD_DIR, "--prefix", prefix], dict(os.environ, **(env or {})),
        120, check=True)


# libcurl and the network and TLS libraries it brings along: nuvctl maps them
# only for the commands that talk to the shared cloud.
NETWORK_LIBRARIES = ("libcurl", "libssl", "libcrypto", "libgnutls", "libnghttp2", "libssh2",
                     "libgssapi", "libldap")


def network_libraries(text):
    """The NETWORK_LIBRARIES named in `text` (/proc/PID/maps, LD_DEBUG=files)."""
    named = set(re.findall(r"[/=](lib[\w+-]+?)\.so\b", text))
    return sorted(n for n in named if n.startswith(NETWORK_LIBRARIES))


def wait_until(predicate, timeout, interval=0.02):
    """Polls `predicate` until it is true or `timeout` seconds pass; returns its last value."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()) and time.monotonic() < deadline:
        time.sleep(interval)
    return value


def locale_env(folder, name):
    """The environment of the locale `name` ("de_DE"), made in `folder` for the
    test: the machine need not have generated it. Its catalogues are the build's."""
    os.makedirs(folder, exist_ok=True)
    run(["localedef", "-i", name, "-f", "UTF-8", os.path.join(folder, name + ".UTF-8")],
        check=True)
    return {"LOCPATH": folder, "LC_ALL": name + ".UTF-8",
            "NUV_LOCALEDIR": os.path.join(BUILD_DIR, "locale")}


def settings_env(config_home, **keys):
    """The environment that gives nuv-devices its settings in a keyfile below
    `config_home` (XDG_CONFIG_HOME), preset with `keys` (battery_alerts="false")."""
    folder = os.path.join(config_home, "glib-2.0", "settings")
    os.makedirs(folder, exist_ok=True)
    write_whole(os.path.join(folder, "keyfile"), "[vemo/Tallyport/NUVDevices]\n" + "".join(
        "%s=%s\n" % (k.replace("_", "-"), v) for k, v in keys.items()))
    return {"GSETTINGS_SCHEMA_DIR": SCHEMA_DIR, "GSETTINGS_BACKEND": "keyfile",
            "XDG_CONFIG_HOME": config_home}


def stop_process(proc, timeout=10):
    """SIGTERM, then SIGKILL after `timeout` seconds; returns the exit status."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
    return proc.wait()


class Queued:
    """Items that a thread of their own puts in `queue`, so that every wait
    for the next one is bounded."""

    def next(self, timeout):
        """The next item, or None after `timeout` seconds (and at the end of output)."""
        try:
            return self.queue.get(timeout=timeout)
        except queue.Empty:
            return None

    def drain(self, quiet=0):
        """Drops items until none comes for `quiet` seconds."""
        while self.next(quiet) is not None:
            pass


class Lines(Queued):
    """The lines of a child's output stream (text or bytes), stripped."""

    def __init__(self, stream):
        self.queue = queue.Queue()
        self._thread = threading.Thread(target=self._pump, args=(stream,), daemon=True)
        self._thread.start()

    def _pump(self, stream):
        for line in stream:
            self.queue.put((line.decode() if isinstance(line, bytes) else line).strip())
        self.queue.put(None)  # end of output

    def join(self):
        self._thread.join(5)


class Watch:
    """`nuvctl watch` with piped output on the given bus."""

    def __init__(self, bus, *args):
        self.proc = subprocess.Popen([NUVCTL, "watch", *args], env=bus.env(),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL, text=True)
        self.out = Lines(self.proc.stdout)
        self.err = Lines(self.proc.stderr)

    def stop(self):
        status = stop_process(self.proc)
        if not self.proc.stdout.closed:
            self.out.join()
            self.err.join()
            self.proc.stdout.close()
            self.proc.stderr.close()
        return status


def connect(address):
    return Gio.DBusConnection.new_for_address_sync(
        address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)


def call_bus(conn, method, args=None):
    """The bus daemon's own `method` (GetId, RequestName ...) called on `conn`, unpacked."""
    return conn.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          method, args, None, Gio.DBusCallFlags.NONE, 5000, None).unpack()


class SessionBus:
    """A private dbus-daemon; `env` points children at it."""

    def __init__(self):
        self.proc = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = self.proc.stdout.readline().strip()
        if not self.address:
            raise RuntimeError("dbus-daemon did not start")

    def env(self, base=None):
        env = dict(base if base is not None else os.environ)
        env["DBUS_SESSION_BUS_ADDRESS"] = self.address
        return env

    def emit(self, name, obj="", user_info=None):
        conn = connect(self.address)
        body = GLib.Variant("(ssa{sv})", (name, obj, user_info or {}))
        conn.emit_signal(None, OBJECT_PATH, INTERFACE, MEMBER, body)
        conn.flush_sync(None)
        conn.close_sync(None)

    def close(self):
        stop_process(self.proc, 5)
        self.proc.stdout.close()


class Served:
    """A connection to `bus` whose callbacks run on a thread and main context
    of their own; `serve()` sets them up there before it says ready."""

    def __init__(self, bus):
        self.conn = connect(bus.address)
        ready = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(ready,), daemon=True)
        self._thread.start()
        if not ready.wait(10):
            raise RuntimeError("%s did not connect" % type(self).__name__)

    def _run(self, ready):
        context = GLib.MainContext.new()
        context.push_thread_default()
        self._loop = GLib.MainLoop.new(context, False)
        self.serve()
        ready.set()
        self._loop.run()

    def close(self):
        self._loop.quit()
        self._thread.join(5)
        try:
            self.conn.close_sync(None)
        except GLib.Error:
            pass  # the bus is gone already (a test killed it)


class Listener(Served, Queued):
    """Collects distributed notifications (bodies as GLib.Variant); with other
    `interface`, `member` and `path`, any signal whose first argument is
    `name`. With `stamped`, each item is (time.time_ns() at arrival, body)."""

    def __init__(self, bus, name=None, interface=INTERFACE, member=MEMBER, path=OBJECT_PATH,
                 stamped=False):
        self.queue = queue.Queue()
        self._match = (interface, member, path, name)
        self._stamped = stamped
        super().__init__(bus)

    def serve(self):
        def on_signal(_c, _sender, _path, _iface, _member, params):
            self.queue.put((time.time_ns(), params) if self._stamped else params)

        self.conn.signal_subscribe(None, *self._match, Gio.DBusSignalFlags.NONE, on_signal)
        # A round trip makes sure the match rule is installed before we say ready.
        call_bus(self.conn, "GetId")


HOST_NAME = "vemo.Tallyport.NUVModule"
HOST_PATH = "/vemo/Tallyport/NUVModule"
HOST_INTERFACE = "vemo.Tallyport.NUVModule1"


class Host:
    """The module's host service (vemo.Tallyport.NUVModule1), called the way a
    host application calls it: synchronously, never starting a module."""

    def __init__(self, bus):
        self.conn = connect(bus.address)

    def call(self, method, args=None, interface=HOST_INTERFACE, reply="()", timeout=5.0):
        return self.conn.call_sync(HOST_NAME, HOST_PATH, interface, method, args,
                                   GLib.VariantType(reply), Gio.DBusCallFlags.NO_AUTO_START,
                                   int(timeout * 1000), None)

    def get(self, name):
        """A property's value, as GLib.Variant."""
        reply = self.call("Get", GLib.Variant("(ss)", (HOST_INTERFACE, name)),
                          "org.freedesktop.DBus.Properties", "(v)")
        return reply.get_child_value(0).get_variant()

    def devices(self):
        return self.get("Devices")

    def refresh(self):
        self.call("Refresh")

    def owner(self):
        """The unique name that owns the module's name, or None."""
        try:
            return call_bus(self.conn, "GetNameOwner", GLib.Variant("(s)", (HOST_NAME,)))[0]
        except GLib.Error:
            return None

    def close(self):
        if not self.conn.is_closed():
            self.conn.close_sync(None)


class StandIn(Served):
    """The module's name owned by this process: answers Devices and announces
    any value, at any pace, as a faulty or hostile owner may."""

    XML = ("<node><interface name='%s'><property name='Devices' type='a{sa{sv}}' access='read'/>"
           "</interface></node>" % HOST_INTERFACE)

    def __init__(self, bus, devices):
        self.devices = self.variant(devices)
        super().__init__(bus)

    @staticmethod
    def variant(devices):
        return GLib.Variant("a{sa{sv}}", {k: {f: GLib.Variant("x" if f == "timestamp" else "s", v)
                                              for f, v in d.items()} for k, d in devices.items()})

    def serve(self):
        info = Gio.DBusNodeInfo.new_for_xml(self.XML).interfaces[0]
        self.conn.register_object(HOST_PATH, info, None, lambda *_: self.devices, None)
        call_bus(self.conn, "RequestName", GLib.Variant("(su)", (HOST_NAME, 4)))  # do not queue

    def announce(self, value):
        """Sends `value` (a GLib.Variant of any type) as the new Devices."""
        self.conn.emit_signal(None, HOST_PATH, "org.freedesktop.DBus.Properties",
                              "PropertiesChanged",
                              GLib.Variant("(sa{sv}as)", (HOST_INTERFACE, {"Devices": value}, [])))

    def publish(self, devices):
        self.devices = self.variant(devices)
        self.announce(self.devices)


PROBE_TEMPLATE = """#!/bin/sh
# Scripted probe: prints the current output file and records each start.
echo "$$ $(date +%s.%N)" >> "{dir}/starts"
[ -f "{dir}/before" ] && . "{dir}/before"
cat "{dir}/output" 2>/dev/null
[ -f "{dir}/after" ] && . "{dir}/after"
exit 0
"""


class Bundle:
    """A copy of the built bundle (or of `source`, another bundle) whose probe
    is scripted by files in `control`."""

    def __init__(self, root, name="NUVModule.app", identifier=TEST_BUNDLE_ID, source=None):
        self.path = os.path.join(root, name)
        shutil.copytree(source or BUNDLE, self.path, symlinks=True)
        plist = os.path.join(self.path, "Resources", "Info.plist")
        write_whole(plist, read(plist).replace("<string>%s</string>" % BUNDLE_ID,
                                               "<string>%s</string>" % identifier))
        self.identifier = identifier
        self.control = os.path.join(root, "control-" + str(abs(hash(name))))
        os.makedirs(self.control, exist_ok=True)
        self.probe = os.path.join(self.path, "Resources", "devInfo.NUVModule")
        self.set_probe_script(PROBE_TEMPLATE.format(dir=self.control))

    def set_probe_script(self, text):
        make_executable(self.probe, text)

    def set_output(self, text_or_bytes):
        write_whole(os.path.join(self.control, "output"), text_or_bytes)

    def set_hook(self, which, shell):
        """Shell text the probe sources before or after printing (None: none)."""
        path = os.path.join(self.control, which)
        if shell is not None:
            write_whole(path, shell + "\n")
        elif os.path.exists(path):
            os.remove(path)

    def starts(self):
        try:
            with open(os.path.join(self.control, "starts")) as f:
                return [line.split() for line in f if line.strip()]
        except FileNotFoundError:
            return []

    @property
    def executable(self):
        return os.path.join(self.path, "NUVModule")


# A record of the module as GLib writes it to standard error: its level
# ("DEBUG" shows only with G_MESSAGES_DEBUG=NUVModule or --verbose) and text.
LOG_LINE = re.compile(r"^(?:\(NUVModule:\d+\): )?NUVModule-(DEBUG|Message|WARNING) ?\**: [\d:.]+: "
                      r"(.*)$", re.MULTILINE)


def log_records(log, level):
    """The texts of the module's records of `level` in `log`, in order."""
    return [text for at, text in LOG_LINE.findall(log) if at == level]


SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                     "WARNING: ThreadSanitizer")


class Module:
    """The module as a real process on the given bus."""

    def __init__(self, bundle, bus, home, extra_env=None, args=()):
        self.log_path = os.path.join(home, "module-%d.log" % time.monotonic_ns())
        env = bus.env()
        env["XDG_CONFIG_HOME"] = os.path.join(home, "config")
        env["XDG_DATA_HOME"] = os.path.join(home, "data")
        env["XDG_STATE_HOME"] = os.path.join(home, "state")
        env["XDG_RUNTIME_DIR"] = os.path.join(home, "runtime")
        os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
        # Never the machine's own logind: tests that want one start a mock
        # and export its bus address themselves.
        env.setdefault("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + os.path.join(home, "no-system-bus"))
        env.pop("INVOCATION_ID", None)
        env.pop("JOURNAL_STREAM", None)
        env.update(extra_env or {})
        self.env = env
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen([bundle.executable, *args], env=env, stdout=self._log,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)

    pid = property(lambda self: self.proc.pid)

    def running(self):
        return self.proc.poll() is None

    def wait(self, timeout):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def log(self):
        if not self._log.closed:
            self._log.flush()
        return read(self.log_path)

    def stop(self):
        """Stops the module (SIGTERM) and returns its exit status."""
        status = stop_process(self.proc)
        self._log.close()
        return status


def sanitizer_report(text):
    """The first sanitizer finding in a process's output, if any."""
    at = min((text.find(m) for m in SANITIZER_MARKERS if m in text), default=-1)
    return text[max(0, at - 200):at + 3000] if at >= 0 else None


def pids_where(predicate):
    """Pids of the processes for which predicate(pid) holds; a process that
    ends while it is looked at (OSError) is left out."""
    out = []
    for name in os.listdir("/proc"):
        try:
            if name.isdigit() and predicate(int(name)):
                out.append(int(name))
        except OSError:
            pass
    return out


def proc_stat(pid):
    """The fields of /proc/<pid>/stat after the command name (state first)."""
    return read("/proc/%d/stat" % pid).rsplit(")", 1)[1].split()


def gone(pid):
    """True once the process has ended (a zombie counts as ended)."""
    try:
        return proc_stat(pid)[0] == "Z"
    except OSError:
        return True


def group_members(pgid):
    """Pids of the live (not zombie) processes of the process group `pgid`."""
    return pids_where(lambda pid: (lambda f: f[2] == str(pgid) and f[0] != "Z")(proc_stat(pid)))


def cpu_seconds(pid):
    """The CPU time a live process's threads have used (its children not
    counted), from the scheduler's nanosecond counters. A thread that ends
    takes its share along; the module's threads live as long as it does."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            total += int(read("/proc/%d/task/%s/schedstat" % (pid, tid)).split()[0])
        except OSError:
            pass
    return total / 1e9


class ModuleTestCase(unittest.TestCase):
    """A fresh private bus, a temporary home, a listener and a host
    connection per test."""

    SLACK = SLACK

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="nuv-it-")
        self.bus = SessionBus()
        self.listener = Listener(self.bus, "iOSStack")
        self.modules = []
        self.host = Host(self.bus)

    def tearDown(self):
        self.host.close()
        problems = []
        for m in self.modules:
            status = m.stop()
            if status not in (0, None):
                problems.append("module exited with %s:\n%s" % (status, m.log()[-3000:]))
            report = sanitizer_report(m.log())
            if report:
                problems.append(report)
        self.listener.close()
        self.bus.close()
        shutil.rmtree(self.tmp, ignore_errors=True)
        if problems:
            self.fail("\n\n".join(problems))

    def bundle(self, name="NUVModule.app", identifier=TEST_BUNDLE_ID, output=None):
        """A bundle copy whose probe prints `output` (None: nothing)."""
        b = Bundle(self.tmp, name, identifier)
        if output is not None:
            b.set_output(output)
        return b

    def start(self, bundle, extra_env=None, args=()):
        m = Module(bundle, self.bus, self.tmp, extra_env, args)
        self.modules.append(m)
        return m

    def broadcast(self, m, timeout=FIRST_RUN):
        """The next iOSStack broadcast within `timeout` (plus the class's
        SLACK); fails with the module's log when none comes."""
        body = self.listener.next(timeout + self.SLACK)
        self.assertIsNotNone(body, m.log())
        return body

    def refresh(self, m):
        """Asks the module for a probe run through Refresh(), as a host may,
        instead of waiting for the 5 s poll timer."""
        self.assertTrue(wait_until(self.host.owner, 5 + self.SLACK), m.log())
        self.host.refresh()

    def run_now(self, b, m):
        """refresh(), returning once the run has started."""
        n = len(b.starts())
        self.refresh(m)
        self.assertTrue(wait_until(lambda: len(b.starts()) > n, 5 + self.SLACK), m.log())

    def change(self, b, m, output):
        """The stack broadcast by a run started at once whose probe prints `output`."""
        b.set_output(output)
        self.run_now(b, m)
        return self.broadcast(m, 1).unpack()[2]

    def start_device(self, output=DEVICE, bundle=None, extra_env=None):
        """Starts a module whose probe prints `output`; returns (bundle,
        module) once the broadcast of a first run has come."""
        b = bundle or self.bundle()
        m = self.start(b, extra_env)
        self.change(b, m, output)
        return b, m


def read(path):
    """The text of the file at `path`, as it is (undecodable bytes replaced)."""
    with open(path, errors="replace", newline="") as f:
        return f.read()


def write_whole(path, text_or_bytes, mode=0o644):
    """Replaces the file at once: a probe that runs meanwhile sees the old
    content or the new, never a part."""
    tmp = path + ".new"
    with open(tmp, "wb") as f:
        f.write(text_or_bytes.encode() if isinstance(text_or_bytes, str) else text_or_bytes)
    os.chmod(tmp, mode)
    os.replace(tmp, path)


def make_executable(path, text):
    write_whole(path, text, 0o755)


CLOUDKIT_API_TOKEN = "it-api+token/="
FAKE_CLOUDKIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fakecloudkit.py")
_NO_PROXY = urllib.request.build_opener(urllib.request.ProxyHandler({}))


class FakeCloudKit:
    """fakecloudkit.py on a free loopback port, driven through
    its /_control/ requests."""

    def __init__(self):
        self.proc = subprocess.Popen([sys.executable, FAKE_CLOUDKIT],
                                     stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        line = self.proc.stdout.readline()  # "PORT <n>", at once
        self.endpoint = "http://127.0.0.1:%d" % int(line.split()[1])

    def close(self):
        stop_process(self.proc)
        self.proc.stdout.close()

    def control(self, command, body=None):
        req = urllib.request.Request(self.endpoint + "/_control/" + command,
                                     data=json.dumps(body or {}).encode(), method="POST")
        with _NO_PROXY.open(req, timeout=10) as answer:
            return json.loads(answer.read())


def write_cloud_config(config_home, endpoint):
    """cloud.conf in XDG_CONFIG_HOME `config_home` selecting the fake server
    at `endpoint` with CLOUDKIT_API_TOKEN; returns the settings folder."""
    conf_dir = os.path.join(config_home, BUNDLE_ID)
    os.makedirs(conf_dir, exist_ok=True)
    write_whole(os.path.join(conf_dir, "cloud.conf"), "[cloud]\nbackend=cloudkit\nenvironment="
                "development\napi_token=%s\nendpoint=%s\ntimeout_ms=5000\n"
                % (CLOUDKIT_API_TOKEN, endpoint))
    return conf_dir


def free_port():
    """A loopback TCP port that nothing listens on now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http_get(url, method="GET", timeout=5):
    """(status, content type, body text) of a request without any proxy."""
    req = urllib.request.Request(url, method=method)
    try:
        with _NO_PROXY.open(req, timeout=timeout) as answer:
            return answer.status, answer.headers["Content-Type"], answer.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.headers["Content-Type"], e.read().decode()


class Mosquitto:
    """Debian's MQTT broker on a free loopback port of its own, for the
    `users` given (name: password), without persistence: a restart forgets
    every retained message. With `tls` (certificate, key files), a TLS
    listener too, on `tls_port`; `log()` is what the broker said."""

    def __init__(self, folder, users, tls=None):
        self.port = free_port()
        self.log_path = os.path.join(folder, "mosquitto.log")
        passwd = os.path.join(folder, "mosquitto.passwd")
        for i, (user, password) in enumerate(users.items()):
            run(["mosquitto_passwd", "-b"] + (["-c"] if i == 0 else []) + [passwd, user, password],
                check=True)
        self.conf = os.path.join(folder, "mosquitto.conf")
        write_whole(self.conf, "listener %d 127.0.0.1\nallow_anonymous false\npassword_file %s\n"
                    "persistence false\nuser %s\n" % (self.port, passwd,
                                                      os.environ.get("USER") or "root"))
        if tls:
            self.tls_port = free_port()
            with open(self.conf, "a") as f:
                f.write("listener %d 127.0.0.1\ncertfile %s\nkeyfile %s\n" % (self.tls_port, *tls))
        self.start()

    def start(self):
        with open(self.log_path, "ab") as log:
            self.proc = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=subprocess.DEVNULL,
                                         stderr=log)

        def listening():
            with socket.socket() as s:
                return s.connect_ex(("127.0.0.1", self.port)) == 0
        if not wait_until(listening, 10):
            raise RuntimeError("mosquitto did not start")

    def log(self):
        return read(self.log_path)

    def kill(self):
        self.proc.kill()
        self.proc.wait()

    def close(self):
        stop_process(self.proc)


class MqttWatch(Queued):
    """An MQTT client (paho) subscribed to `topic`: (topic, payload text,
    retained) items; over TLS when given the `cafile` that verifies the broker."""

    def __init__(self, port, user, password, topic="#", cafile=None):
        import paho.mqtt.client as mqtt
        self.queue = queue.Queue()
        subscribed = threading.Event()
        self.client = mqtt.Client()
        self.client.username_pw_set(user, password)
        if cafile:
            self.client.tls_set(cafile)
        self.client.on_connect = lambda c, *_: c.subscribe(topic, 1)
        self.client.on_subscribe = lambda *_: subscribed.set()
        self.client.on_message = lambda _c, _u, m: self.queue.put(
            (m.topic, m.payload.decode(errors="replace"), bool(m.retain)))
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        if not subscribed.wait(10):
            raise RuntimeError("no MQTT subscription")

    def until(self, predicate, timeout):
        """The first item for which predicate(topic, payload, retained) holds
        within `timeout` seconds, or None."""
        deadline = time.monotonic() + timeout
        while (left := deadline - time.monotonic()) > 0:
            item = self.next(left)
            if item and predicate(*item):
                return item
        return None

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


class BridgeProcess:
    """nuv-bridge (the built one, or `program`) with `args` on the given bus,
    its settings below `home`."""

    def __init__(self, bus, home, *args, program=BRIDGE):
        self.log_path = os.path.join(home, "bridge-%d.log" % time.monotonic_ns())
        env = bus.env()
        env["XDG_CONFIG_HOME"] = os.path.join(home, "config")
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen([program, *args], env=env, stdout=self._log,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)

    def log(self):
        return read(self.log_path)

    def metrics_url(self, timeout=10):
        found = wait_until(lambda: re.search(r"serving the metrics at (\S+)", self.log()), timeout)
        if not found:
            raise AssertionError("nuv-bridge serves no metrics:\n" + self.log())
        return found.group(1)

    def stop(self):
        status = stop_process(self.proc)
        self._log.close()
        return status
