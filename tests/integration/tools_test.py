"""The probe tool, `nuvctl watch` / `nuvctl kill` and the installed tree, as
real processes on private buses (and a scripted usbmuxd for the probe)."""

import json
import os
import plistlib
import pty
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import nuvtest  # noqa: I100 (selects the GI versions first)
from gi.repository import Gio, GLib
from fakeusbmuxd import FakeUsbmuxd
from nuvtest import SLACK, SessionBus, Watch, wait_until

PROBE = os.path.join(nuvtest.BUILD_DIR, "tools", "devinfo", "devInfo.NUVModule")
NUVCTL = nuvtest.NUVCTL


SIMDEVICE = os.path.join(nuvtest.BUILD_DIR, "tools", "simdevice", "nuv-simdevice")


def probe_env(socket_address, runtime="/nonexistent/runtime"):
    """The probe on a scripted usbmuxd, keeping its turns in `runtime`
    (never in the user's own runtime folder)."""
    return dict(os.environ, USBMUXD_SOCKET_ADDRESS=socket_address, XDG_RUNTIME_DIR=runtime)


def entry(**pairs):
    return GLib.Variant("a{sv}", {k: GLib.Variant("s", v) for k, v in pairs.items()})


BATTERY = {"BatteryCurrentCapacity": 87, "BatteryIsCharging": True,
           "ExternalConnected": True, "FullyCharged": False}


class ProbeTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="nuv-probe-")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)

    def probe(self, devices):
        muxd = FakeUsbmuxd(self.tmp, devices)
        try:
            done = subprocess.run([PROBE, "-f"], env=probe_env("UNIX:" + muxd.path, self.tmp),
                                  capture_output=True, timeout=20)
        finally:
            muxd.close()
        return done, muxd.requests

    def test_no_usbmuxd_prints_nothing_one_line_on_stderr_and_exits_69_within_a_second(self):
        for address in ("UNIX:" + os.path.join(self.tmp, "no-such-socket"), "127.0.0.1:1"):
            start = time.monotonic()
            done = subprocess.run([PROBE, "-f"], env=probe_env(address), capture_output=True,
                                  timeout=10)
            self.assertEqual((done.returncode, done.stdout), (69, b""), address)
            self.assertRegex(done.stderr.decode(),
                             r"^devInfo\.NUVModule: usbmuxd is not running[^\n]*\n$")
            self.assertLess(time.monotonic() - start, 1.0, address)

    def test_every_device_in_turn(self):
        # Rotation rules and the state file's locking are RotationState's
        # and ProbeReport's unit tests; here, the real probe keeps its turns.
        runtime = os.path.join(self.tmp, "runtime")
        os.makedirs(runtime, mode=0o700)
        devices = {u: {"DeviceName": "Device " + u} for u in ("cccc0003", "aaaa0001", "bbbb0002")}
        muxd = FakeUsbmuxd(self.tmp, devices)
        self.addCleanup(muxd.close)
        env = probe_env("UNIX:" + muxd.path, runtime)
        firsts = []
        for _ in range(3):
            done = subprocess.run([PROBE, "-f"], env=env, capture_output=True, text=True,
                                  timeout=20)
            self.assertEqual(done.returncode, 0, done.stderr)
            firsts.append(done.stdout.split("\n")[0])
        self.assertEqual(firsts, ["Bonjour\t" + u for u in ("aaaa0001", "bbbb0002", "cccc0003")])
        state = os.path.join(runtime, "vemo.Tallyport.NUVModule")
        self.assertEqual(os.stat(state).st_mode & 0o777, 0o700)
        self.assertEqual(os.listdir(state), ["rotation"])

    def test_simulated_devices_take_turns_too(self):
        env = dict(os.environ, XDG_RUNTIME_DIR=self.tmp, NUV_SIM_DEVICES="3")

        def run(**extra):
            return subprocess.run([SIMDEVICE, "-f"], env=dict(env, **extra), capture_output=True,
                                  text=True, timeout=10)

        names = [dict(l.split("\t") for l in run().stdout.splitlines())["name"] for _ in range(3)]
        self.assertEqual(names, ["Simulated iPhone", "Simulated iPad", "Simulated iPod touch"])
        none = run(NUV_SIM_DEVICES="0")
        self.assertEqual((none.returncode, none.stdout, none.stderr), (0, "", ""))
        bad = run(NUV_SIM_DEVICES="two")
        self.assertEqual((bad.returncode, bad.stdout), (2, ""))
        self.assertIn("NUV_SIM_DEVICES", bad.stderr)

    def test_scripted_devices(self):
        # (devices, exit status, stdout lines, stderr (a part of it on failure),
        #  lockdown requests that must come, and that must not)
        cases = {
            "no device": ({}, 0, [], b"", [], []),
            "untrusted: the lowest UDID, no pairing, a safe name": (
                {"bbbb0002": {"DeviceName": "Second", "ProductType": "iPad13,1"},
                 "aaaa0001": {"DeviceName": "Zoë\tsays\nhi", "ProductType": "iPhone14,2"}},
                0, ["Bonjour\taaaa0001", "name\tZoë says hi", "Host Attached\t1",
                    "ProductType\tiPhone14,2", "Trusted\t0"],
                b"", [], ["Pair", "StartSession"]),  # no pair record: not even tried
            "paired and accepted: battery facts": (
                {"cccc0003": {"DeviceName": "My Phone", "ProductType": "iPhone15,2",
                              "_paired": True, "_accepts": True, "_battery": BATTERY}},
                0, ["Bonjour\tcccc0003", "name\tMy Phone", "Battery\t87", "Charging\t1",
                    "Host Attached\t1", "ProductType\tiPhone15,2", "ExternalConnected\t1",
                    "FullyCharged\t0", "Trusted\t1"],
                b"", [], ["Pair"]),
            "revoked pairing: untrusted, without a pairing attempt": (
                {"dddd0004": {"DeviceName": "Old Friend", "_paired": True, "_accepts": False,
                              "_battery": BATTERY}},
                0, ["Bonjour\tdddd0004", "name\tOld Friend", "Host Attached\t1", "Trusted\t0"],
                b"", ["StartSession"], ["Pair"]),
            "hangs up: reported on stderr only": (
                {"ffff0006": {"DeviceName": "Gone", "_hangup": True}},
                1, [], b"ffff0006 (USB): ", [], []),
        }
        for name, (devices, status, lines, err, made, not_made) in cases.items():
            with self.subTest(name):
                done, requests = self.probe(devices)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertEqual(done.stdout.decode("utf-8"), "".join(l + "\n" for l in lines))
                if status == 0:
                    self.assertEqual(done.stderr, err)
                else:
                    self.assertIn(err, done.stderr)
                for request in made:
                    self.assertIn(request, requests)
                for request in not_made:
                    self.assertNotIn(request, requests)

    def test_device_that_never_answers_is_given_up_after_ten_seconds(self):
        start = time.monotonic()
        done, _ = self.probe({"eeee0005": {"DeviceName": "Mute", "_silent": True}})
        elapsed = time.monotonic() - start
        self.assertEqual((done.returncode, done.stdout), (1, b""))
        self.assertIn(b"did not answer within 10 s", done.stderr)
        self.assertGreater(elapsed, 9)
        self.assertLess(elapsed, 10 + SLACK)


class NuvctlOnTheBusTest(unittest.TestCase):
    def setUp(self):
        self.bus = SessionBus()
        self.watches = []

    def tearDown(self):
        for w in self.watches:
            w.stop()
        self.bus.close()

    def watch(self, *args):
        w = Watch(self.bus, *args)
        self.watches.append(w)
        return w

    def test_one_json_line_per_broadcast_and_malformed_ones_skipped(self):
        w = self.watch()  # stdout is a pipe: JSON without asking
        w.sync(self.bus)
        w.drain()
        self.bus.emit("iOSStack", "", {"abc": GLib.Variant("s", "not an entry")})
        self.bus.emit("iOSStack", "", {"abc": entry(Bonjour="abc", Battery="84"),
                                       "def": entry(Bonjour="def")})
        self.bus.emit("something.else", "", {})
        self.assertRegex(w.err.next(5) or "", 'malformed.*"abc" is not a dictionary')
        got = json.loads(w.out.next(5))
        self.assertEqual(got["devices"], {"abc": {"Bonjour": "abc", "Battery": "84"},
                                          "def": {"Bonjour": "def"}})
        self.assertRegex(got["received"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z$")
        self.assertIsNone(w.out.next(1.0))  # the other notification is not shown
        with open("/proc/%d/maps" % w.proc.pid) as f:
            maps = f.read()
        self.assertIn("/libgio-2.0.so", maps)  # libraries are seen at all
        self.assertEqual(nuvtest.network_libraries(maps), [])
        self.assertIsNone(w.proc.poll())
        self.assertEqual(w.stop(), 0)

    def test_count_exits_after_n_broadcasts(self):
        w = self.watch("--json", "--count", "2")
        w.sync(self.bus)
        self.assertTrue(wait_until(lambda: w.proc.poll() is not None or
                                   self.bus.emit("iOSStack", "", {}), 10, 0.1))
        self.assertEqual(w.proc.wait(10), 0)
        lines = [w.out.next(1) for _ in range(3)]
        self.assertEqual(len([l for l in lines if l]), 1)  # one more after the first
        self.assertIsNone(lines[-1])  # end of output

    def test_no_bus(self):
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent/bus")
        for command in ("status", "watch", "refresh", "kill"):
            done = subprocess.run([NUVCTL, command], env=env, capture_output=True, text=True,
                                  timeout=10)
            self.assertEqual(done.returncode, 1, command)
            self.assertIn("cannot connect to the session bus", done.stderr)

    def test_lost_bus_ends_the_watch_with_status_one(self):
        w = self.watch("--json")
        w.sync(self.bus)
        self.bus.close()
        self.assertEqual(w.proc.wait(10), 1)

    def test_table_on_a_terminal(self):
        master, slave = pty.openpty()
        proc = subprocess.Popen([NUVCTL, "watch"], env=self.bus.env(), stdin=slave,
                                stdout=slave, stderr=slave)
        os.close(slave)
        output = b""

        def read_until(needle, timeout):
            nonlocal output
            deadline = time.monotonic() + timeout
            while needle not in output and time.monotonic() < deadline:
                ready, _, _ = select.select([master], [], [], 0.1)
                if ready:
                    try:
                        output += os.read(master, 65536)
                    except OSError:
                        break
            return needle in output

        try:
            self.assertTrue(read_until(b"Waiting", 5), output)
            # Subscribed once a broadcast shows up; keep sending until it does.
            deadline = time.monotonic() + 10
            while not read_until(b"My Phone", 0.2) and time.monotonic() < deadline:
                self.bus.emit("iOSStack", "", {"abc": entry(
                    Bonjour="abc", name="My Phone", Battery="85", Charging="1")})
            self.assertIn(b"\x1b[H\x1b[J", output)
            proc.send_signal(signal.SIGINT)
            self.assertEqual(proc.wait(10), 0)
            read_until(b"\x1b[?25h", 2)
            self.assertTrue(output.endswith(b"\x1b[?25h"), output[-40:])
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            os.close(master)


def run_nuvctl(*args, env=None):
    return subprocess.run([NUVCTL, *args], env=env, capture_output=True, text=True, timeout=10)


class NuvctlCommandLineTest(unittest.TestCase):
    """The real binary's parser; the argument forms and errors are unit-tested
    on the parser (CommandLine_test.cpp)."""

    def test_every_command_and_subcommand_has_its_help(self):
        commands = [[c] for c in nuvctl_commands() if c != "help"]
        for parent in ("records", "cloud"):
            commands += [[parent, c] for c in nuvctl_commands(parent) if c != "help"]
        self.assertIn(["cloud", "status"], commands)
        for words in [[]] + commands:
            with self.subTest(words=words):
                done = run_nuvctl(*words, "--help")
                self.assertEqual((done.returncode, done.stderr), (0, ""))
                self.assertTrue(done.stdout.startswith(
                    "Usage:\n  %s" % " ".join(["nuvctl"] + words)), done.stdout[:80])
                self.assertEqual(run_nuvctl("help", *words).stdout, done.stdout)
                if words:
                    self.assertEqual(run_nuvctl(*words, "-h").stdout, done.stdout)

    def test_version_is_the_module_s(self):
        module = subprocess.run([os.path.join(nuvtest.BUNDLE, "NUVModule"), "--version"],
                                capture_output=True, text=True, timeout=10).stdout
        self.assertRegex(module, r"^NUVModule \d+\.\d+\.\d+\n$")
        done = run_nuvctl("--version")
        self.assertEqual((done.returncode, done.stdout, done.stderr),
                         (0, module.replace("NUVModule", "nuvctl"), ""))

    def test_usage_errors_are_one_line_and_status_two(self):
        # Never reaches a bus, a database or the network.
        home = tempfile.mkdtemp(prefix="nuv-cli-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent/bus",
                   XDG_DATA_HOME=home, XDG_CONFIG_HOME=home)
        cases = [
            ([], "nuvctl", "missing command"),
            (["frobnicate"], "nuvctl", "unknown command 'frobnicate'"),
            (["status", "--table"], "nuvctl status", "Unknown option --table"),
            (["kill", "extra"], "nuvctl kill", "unexpected argument 'extra'"),
            (["watch", "--count=0"], "nuvctl watch",
             "--count needs a whole number of at least 1, not '0'"),
            (["records", "add", "--title", "t"], "nuvctl records add", "--name is required"),
            (["records", "remove"], "nuvctl records remove", "missing RECORD_NAME"),
            (["cloud", "login", "a", "b"], "nuvctl cloud login", "unexpected argument 'b'"),
        ]
        for args, command, message in cases:
            with self.subTest(args=args):
                done = run_nuvctl(*args, env=env)
                self.assertEqual((done.returncode, done.stdout, done.stderr),
                                 (2, "", "%s: %s\nTry '%s --help' for more information.\n"
                                  % (command, message, command)))
        self.assertEqual(os.listdir(home), [])

    def test_option_values_in_both_forms_before_and_after_the_command(self):
        tmp = tempfile.mkdtemp(prefix="nuv-cli-")
        self.addCleanup(shutil.rmtree, tmp, ignore_errors=True)
        db = os.path.join(tmp, "records.sqlite")
        added = [run_nuvctl("records", "--database=" + db, "add", "--name=One", "--title", "t"),
                 run_nuvctl("records", "add", "--database", db, "--name", "Two", "--title=t")]
        self.assertEqual([d.returncode for d in added], [0, 0], [d.stderr for d in added])
        for listing in (["records", "list", "--json", "--database=" + db],
                        ["records", "--database", db, "list", "--json"]):
            done = run_nuvctl(*listing)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(sorted((r["recordName"], r["fields"]["Name"], r["fields"]["title"])
                                    for r in json.loads(done.stdout)),
                             sorted((d.stdout.strip(), n, "t") for d, n in zip(added, ("One", "Two"))))
        # "--" ends the options: a record name may start with a dash.
        done = run_nuvctl("records", "remove", "--database", db, "--", "-no-such")
        self.assertEqual((done.returncode, "no record named '-no-such'" in done.stderr), (1, True))


class InstallTest(unittest.TestCase):
    """`cmake --install` of the built tree to a temporary prefix, as the README
    does for ~/.local, and once more below a DESTDIR, as a package build does."""

    @classmethod
    def setUpClass(cls):
        cls.libdir = nuvtest.cmake_cache("CMAKE_INSTALL_LIBDIR")
        cls.unitdir = nuvtest.cmake_cache("NUV_SYSTEMD_USER_UNIT_DIR")
        if os.path.isabs(cls.libdir) or os.path.isabs(cls.unitdir):
            raise unittest.SkipTest("configured for a system prefix: %s, %s"
                                    % (cls.libdir, cls.unitdir))
        cls.tmp = tempfile.mkdtemp(prefix="nuv inst-")  # a space in the prefix on purpose
        cls.prefix = os.path.join(cls.tmp, "prefix")
        cls.stage = os.path.join(cls.tmp, "stage")
        nuvtest.install(cls.prefix)
        nuvtest.install("/opt/nuv", {"DESTDIR": cls.stage})

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.prefix, *parts)

    def test_layout_and_destdir(self):
        app = os.path.join(self.libdir, "NUVModule.app")
        expected = {
            "bin/nuvctl",
            app + "/NUVModule",
            app + "/Resources/Info.plist",
            app + "/Resources/devInfo.NUVModule",
            app + "/PlugIns/NUVCloudKit.so",
            self.unitdir + "/nuvmodule.service",
            "share/man/man1/nuvctl.1",
            "share/man/man8/NUVModule.8",
            "share/bash-completion/completions/nuvctl",
            "share/dbus-1/interfaces/vemo.DistributedNotifications.xml",
        }
        if nuvtest.cmake_cache("NUV_BUILD_DEVICES_WINDOW") == "ON":
            expected |= {
                "bin/nuv-devices",
                "share/applications/vemo.Tallyport.NUVDevices.desktop",
                "share/icons/hicolor/scalable/apps/vemo.Tallyport.NUVDevices.svg",
                "etc/xdg/autostart/vemo.Tallyport.NUVDevices.desktop",
                "share/glib-2.0/schemas/vemo.Tallyport.NUVDevices.gschema.xml",
            }
        # Bus interfaces beside the notifications' are welcome; nothing else
        # (the schemas are compiled where they are used, not below a DESTDIR).
        compiled = "share/glib-2.0/schemas/gschemas.compiled"
        extra = lambda files: {f for f in files - expected - {compiled}
                               if not f.startswith("share/dbus-1/interfaces/")}
        installed = files_below(self.prefix)
        self.assertEqual((expected - installed, extra(installed)), (set(), set()))
        self.assertEqual(os.listdir(self.stage), ["opt"])
        self.assertEqual(files_below(os.path.join(self.stage, "opt", "nuv")), installed - {compiled})
        for f in ("bin/nuvctl", app + "/NUVModule", app + "/Resources/devInfo.NUVModule"):
            self.assertTrue(os.access(self.path(f), os.X_OK), f)
        # The staged unit names where the package will put the module.
        with open(os.path.join(self.stage, "opt", "nuv", self.unitdir, "nuvmodule.service")) as f:
            self.assertIn('ExecStart="/opt/nuv/%s/NUVModule"\n' % app, f.read())

    def test_user_manager_finds_and_accepts_the_unit(self):
        unit = self.path(self.unitdir, "nuvmodule.service")
        with open(unit) as f:
            text = f.read()
        self.assertIn('ExecStart="%s"\n' % self.path(self.libdir, "NUVModule.app", "NUVModule"),
                      text)
        self.assertIn("ExitType=cgroup\n", text)
        analyze = shutil.which("systemd-analyze")
        self.assertIsNotNone(analyze, "systemd-analyze is missing (scripts/deps.sh installs it)")
        # The user manager's search path as it is for a user whose
        # XDG_DATA_HOME is this prefix's data folder (~/.local/share for
        # --prefix ~/.local). No running user manager is needed, but a
        # runtime folder is.
        home = os.path.join(self.tmp, "home")
        runtime = os.path.join(self.tmp, "runtime")
        os.makedirs(home, exist_ok=True)
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env = dict(os.environ, HOME=home, XDG_RUNTIME_DIR=runtime,
                   XDG_DATA_HOME=self.path("share"), XDG_CONFIG_HOME=os.path.join(home, "config"))
        paths = subprocess.run([analyze, "--user", "unit-paths"], env=env, capture_output=True,
                               text=True, timeout=60).stdout.splitlines()
        self.assertEqual([p for p in paths if os.path.exists(os.path.join(p, "nuvmodule.service"))],
                         [os.path.dirname(unit)], paths)
        done = subprocess.run([analyze, "--user", "verify", "nuvmodule.service"], env=env,
                              capture_output=True, text=True, timeout=60)
        self.assertEqual((done.returncode, done.stdout + done.stderr), (0, ""))

    def test_manual_pages_render_and_cover_every_command(self):
        pages = {"nuvctl": self.path("share", "man", "man1", "nuvctl.1"),
                 "NUVModule": self.path("share", "man", "man8", "NUVModule.8")}
        for name, page in pages.items():
            with self.subTest(page=name):
                done = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", page],
                                      capture_output=True, text=True, timeout=30)
                # Lines too long to fill at this width are no fault of the page.
                warnings = [w for w in done.stderr.splitlines() if "cannot adjust" not in w]
                self.assertEqual((done.returncode, warnings), (0, []))
        with open(pages["nuvctl"]) as f:
            nuvctl_page = f.read()
        with open(self.path("share", "bash-completion", "completions", "nuvctl")) as f:
            completion = f.read()
        commands = nuvctl_commands()
        self.assertIn("watch", commands)
        for command in commands:
            # Each command heads an entry of COMMANDS and is completed.
            self.assertRegex(nuvctl_page, r"(?m)^\.BR? %s\b" % command)
            self.assertRegex(completion, r'commands="[^"]*\b%s\b' % command)
        with open(pages["NUVModule"]) as f:
            module_page = f.read()
        options = subprocess.run([self.path(self.libdir, "NUVModule.app", "NUVModule"), "--help"],
                                 capture_output=True, text=True, timeout=10).stdout
        for option in ("--verbose", "--version", "--help"):
            self.assertIn(option, options)
            self.assertIn(option.replace("-", "\\-"), module_page)

    def test_bash_completion(self):
        script = self.path("share", "bash-completion", "completions", "nuvctl")
        cases = [
            ("nuvctl ", "status watch refresh kill records cloud help --help --version"),
            ("nuvctl re", "refresh records"),
            ("nuvctl records --database /tmp/x ",
             "list add remove help --container --database --help"),
            ("nuvctl records --container=c add --", "--name --title --help"),
            ("nuvctl cloud s", "status"),
            ("nuvctl watch --c", "--count"),
            ("nuvctl watch --count ", ""),
            ("nuvctl help k", "kill"),
        ]
        for line, expected in cases:
            with self.subTest(line=line):
                done = subprocess.run(
                    ["bash", "--norc", "-c", 'source "$1"; read -ra COMP_WORDS <<< "$2"; '
                     '[[ $2 == *" " ]] && COMP_WORDS+=(""); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); '
                     '_nuvctl; echo "${COMPREPLY[*]}"', "-", script, line],
                    capture_output=True, text=True, timeout=10)
                self.assertEqual((done.stdout.strip(), done.stderr), (expected, ""))

    def test_readme_recipe_builds_only_what_it_installs(self):
        with open(os.path.join(SOURCE_DIR, "README.md")) as f:
            readme = f.read()
        recipe = readme[readme.index("## Installing"):readme.index("## Uninstalling")]
        apt = next(l for l in recipe.splitlines() if l.startswith("sudo apt-get install build-"))
        configure = next(l for l in recipe.splitlines() if l.startswith("cmake -S . -B "))
        packages = subprocess.run(
            ["bash", "-c", 'source scripts/deps.sh; echo "${NUV_BUILD_PACKAGES[@]}"'],
            cwd=SOURCE_DIR, capture_output=True, text=True, timeout=10).stdout.split()
        self.assertEqual(apt.split()[3:], packages)

        build = os.path.join(self.tmp, "recipe-build")
        options = [a for a in configure.split() if a.startswith("-D")]
        done = subprocess.run(["cmake", "-S", SOURCE_DIR, "-B", build, "-G", "Ninja", *options],
                              capture_output=True, text=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        # Everything `cmake --build` makes is an installed target or goes into one.
        installed = ["NUVModule", "nuvctl", "devinfo", "NUVCloudKit", "nuv-devices"]
        needed = set().union(*(phony_closure(build, t) for t in installed))
        needed |= set(ninja(build, "-t", "inputs", *installed).split())
        self.assertEqual(phony_closure(build, "all") - needed, set())


    def test_interface_xml_matches_the_bus_contract(self):
        interfaces = self.path("share", "dbus-1", "interfaces")
        self.assertEqual(sorted(os.listdir(interfaces)),
                         ["vemo.DistributedNotifications.xml", "vemo.Tallyport.NUVModule1.xml"])
        with open(os.path.join(interfaces, "vemo.DistributedNotifications.xml")) as f:
            iface = Gio.DBusNodeInfo.new_for_xml(f.read()).lookup_interface(
                "vemo.DistributedNotifications")
        self.assertEqual([(a.name, a.signature) for a in iface.lookup_signal("Notification").args],
                         [("name", "s"), ("object", "s"), ("userInfo", "a{sv}")])
        with open(os.path.join(interfaces, "vemo.Tallyport.NUVModule1.xml")) as f:
            host = Gio.DBusNodeInfo.new_for_xml(f.read()).lookup_interface(
                nuvtest.HOST_INTERFACE)
        self.assertEqual([(p.name, p.signature) for p in host.properties],
                         [("Devices", "a{sa{sv}}"), ("Version", "s")])

    def test_installed_tree_runs(self):
        app = self.path(self.libdir, "NUVModule.app")
        with open(os.path.join(app, "Resources", "Info.plist"), "rb") as f:
            info = plistlib.load(f)
        self.assertEqual((info["CFBundleIdentifier"], info["CFBundleExecutable"]),
                         (nuvtest.BUNDLE_ID, "NUVModule"))
        # An identifier of this run's own: the single-instance rule would let
        # any other module on the machine (the user's, another run's) stop it.
        info["CFBundleIdentifier"] = nuvtest.TEST_BUNDLE_ID
        with open(os.path.join(app, "Resources", "Info.plist"), "wb") as f:
            plistlib.dump(info, f)
        no_muxd = "UNIX:" + os.path.join(self.tmp, "none")
        done = subprocess.run([os.path.join(app, "Resources", "devInfo.NUVModule"), "-f"],
                              env=probe_env(no_muxd), capture_output=True, timeout=10)
        self.assertEqual((done.returncode, done.stdout), (69, b""))

        bus = SessionBus()
        self.addCleanup(bus.close)
        home = os.path.join(self.tmp, "home")
        os.makedirs(home, exist_ok=True)
        bundle = type("Installed", (), {"executable": os.path.join(app, "NUVModule")})()
        module = nuvtest.Module(bundle, bus, home, {"USBMUXD_SOCKET_ADDRESS": no_muxd})
        self.addCleanup(module.stop)
        time.sleep(1.0)
        self.assertTrue(module.running(), module.log())
        done = subprocess.run([self.path("bin", "nuvctl"), "kill"], env=bus.env(), timeout=10)
        self.assertEqual(done.returncode, 0)
        self.assertEqual(module.wait(10), 0, module.log())


SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def files_below(root):
    return {os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs}


def nuvctl_commands(*command):
    """The commands `nuvctl [COMMAND] --help` lists."""
    text = subprocess.run([NUVCTL, *command, "--help"], capture_output=True, text=True,
                          timeout=10).stdout
    listed = text[text.index("Commands:"):].split("\n\n")[0].splitlines()[1:]
    return [line.split()[0] for line in listed if line.startswith("  ") and line.split()]


def ninja(build, *args):
    return subprocess.run(["ninja", "-C", build, *args], capture_output=True, text=True,
                          timeout=60, check=True).stdout


def phony_closure(build, target):
    """The files a build of `target` makes directly: what its phony aliases
    (target and folder "all"s) lead to, without their inputs."""
    out, todo, seen = set(), [target], set()
    while todo:
        name = todo.pop()
        if name in seen:
            continue
        seen.add(name)
        lines = ninja(build, "-t", "query", name).splitlines()
        rule = lines[1].split(":", 1)[1].strip() if len(lines) > 1 else ""
        if rule != "phony":
            out.add(name)
            continue
        inputs = lines[2:lines.index("  outputs:")] if "  outputs:" in lines else lines[2:]
        todo += [line.strip().split(" ")[-1] for line in inputs]
    return out


if __name__ == "__main__":
    unittest.main()
