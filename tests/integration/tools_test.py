"""The probe tool, nuvctl and the installed tree, as real processes on
private buses (and a scripted usbmuxd for the probe)."""

import contextlib
import json
import os
import plistlib
import pty
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import types
import unittest
import xml.etree.ElementTree as ElementTree

import nuvtest  # noqa: I100 (selects the GI versions first)
from gi.repository import Gio, GLib
from fakeusbmuxd import FakeUsbmuxd
from nuvtest import SLACK, ModuleTestCase, SessionBus, Watch, run, stop_process, wait_until

PROBE = os.path.join(nuvtest.BUILD_DIR, "tools", "devinfo", "devInfo.NUVModule")
SIMDEVICE = os.path.join(nuvtest.BUILD_DIR, "tools", "simdevice", "nuv-simdevice")
NUVCTL = nuvtest.NUVCTL
SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
NO_BUS = "unix:path=/nonexistent/bus"


def probe_env(socket_address, runtime="/nonexistent/runtime"):
    """The probe on a scripted usbmuxd, keeping its turns in `runtime`
    (never in the user's own runtime folder)."""
    return dict(os.environ, USBMUXD_SOCKET_ADDRESS=socket_address, XDG_RUNTIME_DIR=runtime)


def entry(**pairs):
    return GLib.Variant("a{sv}", {k: GLib.Variant("s", v) for k, v in pairs.items()})


BATTERY = {"BatteryCurrentCapacity": 87, "BatteryIsCharging": True,
           "ExternalConnected": True, "FullyCharged": False}
TRUSTED = {"DeviceName": "Phone", "_paired": True, "_accepts": True,
           "_battery": {"BatteryCurrentCapacity": 87}}


def real_entry():
    """The battery's registry entry as an iPhone charging from a computer's
    port published it."""
    with open(os.path.join(os.path.dirname(__file__), "data",
                           "battery-entry-iphone-charging.plist"), "rb") as f:
        return plistlib.load(f)


class ToolsTest(unittest.TestCase):
    """The probe, the simulated device and nuvctl as programs, off the bus."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="nuv-probe-")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)

    def test_no_usbmuxd_prints_nothing_one_line_on_stderr_and_exits_69_within_a_second(self):
        for address in ("UNIX:" + os.path.join(self.tmp, "no-such-socket"), "127.0.0.1:1"):
            start = time.monotonic()
            done = run([PROBE, "-f"], probe_env(address))
            self.assertEqual((done.returncode, done.stdout), (69, ""), address)
            self.assertRegex(done.stderr,
                             r"^devInfo\.NUVModule: usbmuxd is not running[^\n]*\n$")
            self.assertLess(time.monotonic() - start, 1.0, address)

    def test_nuvctl_version_usage_errors_and_no_bus(self):
        # The real binary's parser (its argument forms and errors are
        # CommandLine_test.cpp's); it never reaches a bus, a database or the network.
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=NO_BUS, XDG_DATA_HOME=self.tmp,
                   XDG_CONFIG_HOME=self.tmp)
        usage = "%s: %s\nTry '%s --help' for more information.\n"
        cases = [(["--version"], 0, "nuvctl %s\n" % nuvtest.cmake_cache("CMAKE_PROJECT_VERSION"),
                  "")]
        cases += [(args, 2, "", usage % (command, message, command)) for args, command, message in (
            (["frobnicate"], "nuvctl", "unknown command 'frobnicate'"),
            (["records", "remove"], "nuvctl records remove", "missing RECORD_NAME"))]
        for args, status, out, err in cases:
            with self.subTest(args=args):
                done = run([NUVCTL, *args], env)
                self.assertEqual((done.returncode, done.stdout, done.stderr), (status, out, err))
        self.assertEqual(os.listdir(self.tmp), [])
        for command in ("status", "watch", "refresh", "kill"):
            done = run([NUVCTL, command], env)
            self.assertEqual(done.returncode, 1, command)
            self.assertIn("cannot connect to the session bus", done.stderr)

    def test_simulated_devices_take_turns(self):
        # The real probe's turns across runs are test_battery_health's.
        env = dict(os.environ, XDG_RUNTIME_DIR=self.tmp, NUV_SIM_DEVICES="3")
        names = [dict(l.split("\t") for l in run([SIMDEVICE, "-f"], env).stdout.splitlines())["name"]
                 for _ in range(3)]
        self.assertEqual(names, ["Simulated iPhone", "Simulated iPad", "Simulated iPod touch"])
        none = run([SIMDEVICE, "-f"], dict(env, NUV_SIM_DEVICES="0"))
        self.assertEqual((none.returncode, none.stdout, none.stderr), (0, "", ""))
        bad = run([SIMDEVICE, "-f"], dict(env, NUV_SIM_DEVICES="two"))
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
            "breaks off in the session: no report rather than one without battery": (
                {"gggg0007": dict(TRUSTED, _battery=BATTERY, _close_after="StartSession")},
                1, [], b"gggg0007 (USB): lockdown did not answer", [], []),
            "hangs up: reported on stderr only": (
                {"ffff0006": {"DeviceName": "Gone", "_hangup": True}},
                1, [], b"ffff0006 (USB): ", [], []),
            "never answers: given up after 10 s": (
                {"eeee0005": {"DeviceName": "Mute", "_silent": True}},
                1, [], b"did not answer within 10 s", [], []),
        }
        for name, (devices, status, lines, err, made, not_made) in cases.items():
            with self.subTest(name):
                muxd = FakeUsbmuxd(self.tmp, devices)
                began = time.monotonic()
                try:
                    done = subprocess.run([PROBE, "-f"], capture_output=True, timeout=20,
                                          env=probe_env("UNIX:" + muxd.path, self.tmp))
                finally:
                    muxd.close()
                elapsed = time.monotonic() - began
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertEqual(done.stdout.decode("utf-8"), "".join(l + "\n" for l in lines))
                (self.assertIn if status else self.assertEqual)(err, done.stderr)
                self.assertLess(elapsed, 10 + SLACK)
                if b"within 10 s" in err:
                    self.assertGreater(elapsed, 9)
                self.assertEqual([r for r in made + not_made if r in muxd.requests], made)

    def test_battery_health(self):
        """Battery health from a scripted device's diagnostics relay (TLS, as
        a real device turns it on): asked once, repeated from the probe's
        state after, absent when refused, never a pairing request. The day's
        rule is ProbeReport_test's HealthAskedOnceADayAndPrintedFromTheStateBetween."""
        entry = {"CycleCount": 412, "NominalChargeCapacity": 2706, "DesignCapacity": 3110}
        muxd = FakeUsbmuxd(self.tmp, {"aaaa0001": dict(TRUSTED, _battery_entry=entry),
                                      "bbbb0002": TRUSTED,  # refuses the relay
                                      "cccc0003": dict(TRUSTED, _accepts=False,
                                                       _battery_entry=entry)})
        self.addCleanup(muxd.close)
        env = probe_env("UNIX:" + muxd.path, self.tmp)
        state = os.path.join(self.tmp, "vemo.Tallyport.NUVModule", "battery-health")

        def probe():  # (device, cycle count, max capacity, relay asked)
            before = len(muxd.requests)
            done = run([PROBE, "-f"], env, 20)
            self.assertEqual((done.returncode, done.stderr), (0, ""))
            keys = dict(line.split("\t") for line in done.stdout.splitlines())
            return (keys["Bonjour"], keys.get("BatteryCycleCount"),
                    keys.get("BatteryMaxCapacity"), muxd.requests[before:].count("StartService"))

        asked = [("aaaa0001", "412", "87", 1), ("bbbb0002", None, None, 1),
                 ("cccc0003", None, None, 0)]  # untrusted: never asked
        self.assertEqual([probe() for _ in range(6)],
                         asked + [(u, c, m, 0) for u, c, m, _ in asked])
        self.assertEqual(os.stat(state).st_mode & 0o777, 0o600)
        self.assertEqual([r for r in muxd.requests if "Pair" in r], [])


    def test_a_device_that_closes_first_ends_its_answer_not_the_probe(self):
        # Lockdown closes after StartService and the relay after its answer,
        # so the probe's last writes on both meet a closed connection; each
        # run has fresh state, so that each asks the relay.
        muxd = FakeUsbmuxd(self.tmp, {"aaaa0001": dict(TRUSTED, _battery=BATTERY, _close_after="StartService",
                                                       _battery_entry=real_entry())})
        self.addCleanup(muxd.close)
        for i in range(20):
            done = run([PROBE, "-f"], probe_env("UNIX:" + muxd.path, os.path.join(self.tmp, str(i))))
            self.assertEqual((done.returncode, done.stderr), (0, ""), i)
            self.assertIn("Battery\t87\n", done.stdout)
            self.assertIn("BatteryTemperature\t29\n", done.stdout)


class ProbeInModuleTest(ModuleTestCase):
    """The real probe in a bundle copy, on a scripted usbmuxd."""

    def test_battery_keys_of_a_real_entry_and_no_cloud_write_for_a_temperature_alone(self):
        device = dict(TRUSTED, _battery=BATTERY, _battery_entry=real_entry())
        muxd = FakeUsbmuxd(self.tmp, {"aaaa0001": device})
        self.addCleanup(muxd.close)
        records_env = dict(os.environ, XDG_DATA_HOME=os.path.join(self.tmp, "data"))
        run([NUVCTL, "records", "add", "--name", "Phone"], records_env, check=True)

        def record():
            return json.loads(run([NUVCTL, "records", "list", "--json"], records_env).stdout)[0]

        b = self.bundle()
        shutil.copy(PROBE, b.probe)
        m = self.start(b, {"USBMUXD_SOCKET_ADDRESS": "UNIX:" + muxd.path})
        self.refresh(m)
        phone = self.broadcast(m).unpack()[2]["aaaa0001"]
        self.assertEqual({k: v for k, v in phone.items() if k.startswith(("Battery", "Charg"))},
                         {"Battery": "87", "Charging": "1", "BatteryCycleCount": "577",
                          "BatteryMaxCapacity": "88", "BatteryTemperature": "29",
                          "BatteryDesignCapacity": "2701", "BatteryFullChargeCapacity": "2380",
                          "ChargerWatts": "12", "ChargerName": "usb host", "ChargerWireless": "0",
                          "ChargingWatts": "2"})
        self.assertTrue(wait_until(lambda: record()["fields"].get("Battery") == 87, self.SLACK))
        written = record()["changeTag"]

        # Only the temperature changes; the reading is asked again at once
        # without its kept copy.
        device["_battery_entry"]["Temperature"] = 3012
        os.remove(os.path.join(m.env["XDG_RUNTIME_DIR"], "vemo.Tallyport.NUVModule",
                               "battery-reading"))
        self.refresh(m)
        self.assertEqual(self.broadcast(m).unpack()[2]["aaaa0001"]["BatteryTemperature"], "30")
        time.sleep(1.0)  # a save would have landed by now
        self.assertEqual(record()["changeTag"], written)


class NuvctlOnTheBusTest(unittest.TestCase):
    def setUp(self):
        self.bus = SessionBus()
        self.addCleanup(self.bus.close)

    def watch(self, *args):
        w = Watch(self.bus, *args)
        self.addCleanup(w.stop)
        # Empty broadcasts until the watcher shows one: it is subscribed.
        self.assertTrue(wait_until(lambda: self.bus.emit("iOSStack") or w.out.next(0.2) is not None,
                                   10), "nuvctl watch never showed a broadcast")
        return w

    def test_one_json_line_per_broadcast_and_malformed_ones_skipped(self):
        # The line's format is WatchView_test's; that it maps no network
        # library, the nuvctl_memory benchmark's check.
        w = self.watch()  # stdout is a pipe: JSON without asking
        w.out.drain(0.5)
        self.bus.emit("iOSStack", "", {"abc": GLib.Variant("s", "not an entry")})
        self.bus.emit("iOSStack", "", {"abc": entry(Bonjour="abc", Battery="84"),
                                       "def": entry(Bonjour="def")})
        self.bus.emit("something.else", "", {})
        self.assertRegex(w.err.next(5) or "", 'malformed.*"abc" is not a dictionary')
        got = json.loads(w.out.next(5))
        self.assertEqual(got["devices"], {"abc": {"Bonjour": "abc", "Battery": "84"},
                                          "def": {"Bonjour": "def"}})
        self.assertIsNone(w.out.next(1.0))  # the other notification is not shown
        self.assertEqual(w.stop(), 0)

    def test_count_exits_after_n_broadcasts_and_a_lost_bus_with_status_one(self):
        w = self.watch("--json", "--count", "2")
        self.assertTrue(wait_until(lambda: w.proc.poll() is not None or
                                   self.bus.emit("iOSStack", "", {}), 10, 0.1))
        self.assertEqual(w.proc.wait(10), 0)
        lines = [w.out.next(1) for _ in range(3)]
        self.assertEqual(len([l for l in lines if l]), 1)  # one more after the first
        self.assertIsNone(lines[-1])  # end of output
        w = self.watch("--json")
        self.bus.close()
        self.assertEqual(w.proc.wait(10), 1)

    def test_table_on_a_terminal_and_the_cursor_back_after_ctrl_c(self):
        host = nuvtest.StandIn(self.bus, {"abc": {"Bonjour": "abc", "name": "My Phone"}})
        self.addCleanup(host.close)
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        proc = subprocess.Popen([NUVCTL, "watch"], env=self.bus.env(), stdin=slave,
                                stdout=slave, stderr=slave)
        self.addCleanup(stop_process, proc)
        os.close(slave)
        chunks = []

        def read():  # until EIO: the child, the terminal's last user, is gone
            with contextlib.suppress(OSError):
                while chunk := os.read(master, 65536):
                    chunks.append(chunk)
        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        # The module's map, read at the start, in the table.
        self.assertTrue(wait_until(lambda: b"My Phone" in b"".join(chunks), 10), chunks)
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(10), 0)
        reader.join(5)
        output = b"".join(chunks)
        self.assertIn(b"\x1b[H\x1b[J", output)
        self.assertTrue(output.endswith(b"\x1b[?25h"), output[-40:])


def files_below(root):
    return {os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs}


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
        expected = {"bin/nuvctl", app + "/NUVModule", app + "/Resources/Info.plist",
                    app + "/Resources/devInfo.NUVModule", app + "/PlugIns/NUVCloudKit.so",
                    self.unitdir + "/nuvmodule.service", "share/man/man1/nuvctl.1",
                    "share/man/man8/NUVModule.8", "share/bash-completion/completions/nuvctl",
                    "share/dbus-1/interfaces/vemo.DistributedNotifications.xml",
                    "share/locale/de/LC_MESSAGES/nuvmodule.mo"}
        if nuvtest.cmake_cache("NUV_BUILD_DEVICES_WINDOW") == "ON":
            expected |= {"bin/nuv-devices", "share/applications/" + DEVICES_ENTRY, METAINFO,
                         "share/icons/hicolor/scalable/apps/vemo.Tallyport.NUVDevices.svg",
                         "etc/xdg/autostart/" + DEVICES_ENTRY,
                         "share/glib-2.0/schemas/vemo.Tallyport.NUVDevices.gschema.xml",
                         "share/man/man1/nuv-devices.1"}
        if nuvtest.cmake_cache("NUV_BUILD_BRIDGE") == "ON":
            expected |= {"bin/nuv-bridge", self.unitdir + "/nuv-bridge.service",
                         "share/man/man1/nuv-bridge.1"}
        if nuvtest.cmake_cache("NUV_BUILD_DESKTOP") == "ON":
            expected |= {"include/nuvdesktop/%s.h" % h for h in (
                "AccessibilityWrapper", "Export", "OrbAccessibility", "Pixelwatcher", "Types",
                "nuvdesktop")}
            expected |= {self.libdir + f for f in ("/libnuvdesktop.so", "/libnuvdesktop.so.0",
                                                   "/libnuvdesktop.so.0.1.0",
                                                   "/pkgconfig/nuvdesktop.pc")}
        # Bus interfaces beside the notifications' and languages beside German
        # are welcome; nothing else (the schemas are compiled where they are
        # used, not below a DESTDIR).
        compiled = "share/glib-2.0/schemas/gschemas.compiled"
        extra = lambda files: {f for f in files - expected - {compiled}
                               if not f.startswith(("share/dbus-1/interfaces/", "share/locale/"))}
        installed = files_below(self.prefix)
        self.assertEqual((expected - installed, extra(installed)), (set(), set()))
        self.assertEqual(os.listdir(self.stage), ["opt"])
        self.assertEqual(files_below(os.path.join(self.stage, "opt", "nuv")), installed - {compiled})
        # The staged unit names where the package will put the module.
        with open(os.path.join(self.stage, "opt", "nuv", self.unitdir, "nuvmodule.service")) as f:
            self.assertIn('ExecStart="/opt/nuv/%s/NUVModule"\n' % app, f.read())
        # The notification as documented is the one on the wire.
        with open(self.path("share/dbus-1/interfaces/vemo.DistributedNotifications.xml")) as f:
            signal_info = Gio.DBusNodeInfo.new_for_xml(f.read()).lookup_interface(
                nuvtest.INTERFACE).lookup_signal(nuvtest.MEMBER)
        self.assertEqual([(a.name, a.signature) for a in signal_info.args],
                         [("name", "s"), ("object", "s"), ("userInfo", "a{sv}")])

    def test_user_manager_finds_and_accepts_the_unit(self):
        # Its ExecStart: the staged unit's in test_layout_and_destdir, and
        # verified below (a path cut at the prefix's space is no program).
        unit = self.path(self.unitdir, "nuvmodule.service")
        self.assertIn("ExitType=cgroup\n", nuvtest.read(unit))
        # The user manager's search path as it is for a user whose
        # XDG_DATA_HOME is this prefix's data folder (~/.local/share for
        # --prefix ~/.local). No running user manager is needed, but a
        # runtime folder is.
        home, runtime = tempfile.mkdtemp(dir=self.tmp), tempfile.mkdtemp(dir=self.tmp)
        env = dict(os.environ, HOME=home, XDG_RUNTIME_DIR=runtime,
                   XDG_DATA_HOME=self.path("share"), XDG_CONFIG_HOME=os.path.join(home, "config"))
        paths = run(["systemd-analyze", "--user", "unit-paths"], env, 60).stdout.splitlines()
        # The prefix's unit is the one found first (a packaged unit in
        # /usr/lib/systemd/user, where one is installed, comes later).
        found = [p for p in paths if os.path.exists(os.path.join(p, "nuvmodule.service"))]
        self.assertEqual(found[:1], [os.path.dirname(unit)], paths)
        units = ["nuvmodule.service"] + ["nuv-bridge.service"] * os.path.exists(
            self.path(self.unitdir, "nuv-bridge.service"))
        done = run(["systemd-analyze", "--user", "verify", *units], env, 60)
        self.assertEqual((done.returncode, done.stdout + done.stderr), (0, ""))

    def test_manual_pages_and_completion_cover_every_command(self):
        pages = {"nuvctl": self.path("share", "man", "man1", "nuvctl.1"),
                 "NUVModule": self.path("share", "man", "man8", "NUVModule.8")}
        if os.path.exists(self.path("share", "man", "man1", "nuv-bridge.1")):
            pages["nuv-bridge"] = self.path("share", "man", "man1", "nuv-bridge.1")
        for name, page in pages.items():
            done = run(["groff", "-man", "-Tutf8", "-ww", "-z", page], timeout=30)
            # Lines too long to fill at this width are no fault of the page.
            warnings = [w for w in done.stderr.splitlines() if "cannot adjust" not in w]
            self.assertEqual((done.returncode, warnings), (0, []), name)
        # Each command `nuvctl --help` lists heads an entry of COMMANDS and is completed.
        text = run([NUVCTL, "--help"]).stdout
        listed = text[text.index("Commands:"):].split("\n\n")[0].splitlines()[1:]
        commands = [line.split()[0] for line in listed if line.startswith("  ") and line.split()]
        self.assertIn("watch", commands)
        nuvctl_page = nuvtest.read(pages["nuvctl"])
        for command in commands:
            self.assertRegex(nuvctl_page, r"(?m)^\.BR? %s\b" % command)
        script = self.path("share", "bash-completion", "completions", "nuvctl")
        for line, expected in [
                ("nuvctl ", " ".join(commands + ["--help", "--version"])),
                ("nuvctl records --database /tmp/x ",
                 "list add remove help --container --database --help"),
                ("nuvctl history --since ", "90m 24h 7d")]:
            with self.subTest(line=line):
                done = run(["bash", "--norc", "-c", 'source "$1"; read -ra COMP_WORDS <<< "$2"; '
                            '[[ $2 == *" " ]] && COMP_WORDS+=(""); '
                            'COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _nuvctl; echo "${COMPREPLY[*]}"',
                            "-", script, line])
                self.assertEqual((done.stdout.strip(), done.stderr), (expected, ""))

    def test_readme_recipe_builds_only_what_it_installs(self):
        with open(os.path.join(SOURCE_DIR, "README.md")) as f:
            recipe = f.read().split("## Installing", 1)[1].split("## Uninstalling", 1)[0]
        apt = next(l for l in recipe.splitlines() if l.startswith("sudo apt-get install build-"))
        configure = next(l for l in recipe.splitlines() if l.startswith("cmake -S . -B "))
        packages = run(["bash", "-c", 'source scripts/deps.sh; echo "${NUV_BUILD_PACKAGES[@]}"'],
                       cwd=SOURCE_DIR).stdout.split()
        self.assertEqual(apt.split()[3:], packages)
        build = os.path.join(self.tmp, "recipe-build")
        run(["cmake", "-S", SOURCE_DIR, "-B", build, "-G", "Ninja",
             *[a for a in configure.split() if a.startswith("-D")]], timeout=300, check=True)
        # What a build links are the installed programs and plug-in; static
        # libraries go into them.
        steps = run(["ninja", "-C", build, "-n"], timeout=60).stdout.splitlines()
        self.assertEqual({os.path.basename(s) for s in steps
                          if " Linking " in s and " static library " not in s},
                         {"NUVModule", "nuvctl", "devInfo.NUVModule", "NUVCloudKit.so",
                          "nuv-devices", "nuv-bridge"})

    @unittest.skipUnless(nuvtest.cmake_cache("NUV_BUILD_DEVICES_WINDOW") == "ON", "no window built")
    @unittest.skipUnless(shutil.which("desktop-file-validate"), "desktop-file-utils is missing")
    def test_devices_window_entries_validate_and_start_the_installed_program(self):
        # "$" and a space must survive desktop quoting. (CMake cannot install
        # below a backslash or a double quote, and GLib does not find a
        # program whose path holds a "%".)
        prefix = os.path.join(self.tmp, "pre fix $HOME")
        run(["cmake", "--install", nuvtest.BUILD_DIR, "--prefix", prefix, "--component", "devices"],
            timeout=120, check=True)
        program = os.path.join(prefix, "bin", "nuv-devices")
        icon = os.path.join(prefix, "share/icons/hicolor/scalable/apps/vemo.Tallyport.NUVDevices.svg")
        self.assertEqual(ElementTree.parse(icon).getroot().tag, "{http://www.w3.org/2000/svg}svg")
        # The autostart entry (on by default) lands below the prefix's etc/xdg
        # and starts the app without a window.
        for kind, path in (("menu", os.path.join(prefix, "share", "applications")),
                           ("autostart", os.path.join(prefix, "etc", "xdg", "autostart"))):
            path = os.path.join(path, DEVICES_ENTRY)
            check = run(["desktop-file-validate", path], timeout=30)
            self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ""), kind)
            self.assertRegex(nuvtest.read(path), r"\nName\[de\]=.+\nName=", kind)
            # GLib loads an entry only when it finds the program Exec names.
            info = Gio.DesktopAppInfo.new_from_filename(path)
            self.assertEqual(GLib.shell_parse_argv(info.get_commandline())[1],
                             [program] + ["--background"] * (kind == "autostart"), kind)
            self.assertEqual(info.get_icon().to_string(), "vemo.Tallyport.NUVDevices", kind)
            # The menu shows it; the autostart entry is not a menu item.
            self.assertEqual(info.get_nodisplay(), kind != "menu")
        # The software centre's metadata (its one note, an info: "vemo" is no
        # top-level domain AppStream knows).
        check = run(["appstreamcli", "validate", "--no-net", os.path.join(prefix, METAINFO)], timeout=60)
        self.assertEqual((check.returncode, re.findall(r"(?m)^[EW]: .*", check.stdout)), (0, []))

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
        # The installed nuvctl finds the installed catalogues by itself.
        german = dict(os.environ, LC_ALL="C.UTF-8", LANGUAGE="de", NUV_LOCALEDIR="")
        self.assertIn("\nBefehle:\n", run([self.path("bin", "nuvctl"), "--help"], german).stdout)
        no_muxd = "UNIX:" + os.path.join(self.tmp, "none")
        done = run([os.path.join(app, "Resources", "devInfo.NUVModule"), "-f"], probe_env(no_muxd))
        self.assertEqual((done.returncode, done.stdout), (69, ""))

        bus = SessionBus()
        self.addCleanup(bus.close)
        bundle = types.SimpleNamespace(executable=os.path.join(app, "NUVModule"))
        module = nuvtest.Module(bundle, bus, tempfile.mkdtemp(dir=self.tmp),
                                {"USBMUXD_SOCKET_ADDRESS": no_muxd})
        self.addCleanup(module.stop)
        time.sleep(1.0)
        self.assertTrue(module.running(), module.log())
        self.assertEqual(run([self.path("bin", "nuvctl"), "kill"], bus.env()).returncode, 0)
        self.assertEqual(module.wait(10), 0, module.log())

    def test_nuvctl_signs_in_through_the_cloudkit_plugin_beside_it(self):
        # (From the build tree: cloudkit_test's sign-in.)
        server = nuvtest.FakeCloudKit()
        self.addCleanup(server.close)
        token = server.control("reset", {"apiToken": nuvtest.CLOUDKIT_API_TOKEN})["token"]
        home = tempfile.mkdtemp(dir=self.tmp)
        nuvtest.write_cloud_config(home, server.endpoint)
        env = dict(os.environ, XDG_CONFIG_HOME=home, DBUS_SESSION_BUS_ADDRESS=NO_BUS)
        nuvctl = lambda *args: run([self.path("bin", "nuvctl"), "cloud", *args], env,
                                   stdin=subprocess.DEVNULL)
        login = nuvctl("login", "ckWebAuthToken=" + token)
        self.assertEqual((login.returncode, login.stdout), (0, "Signed in.\n"), login.stderr)
        check = nuvctl("status", "--check")
        self.assertEqual(check.returncode, 0, check.stderr)
        self.assertIn("check:       ok\n", check.stdout)
        # The installed program uses the installed plug-in, not the build's.
        bundle = self.path(self.libdir, "NUVModule.app")
        os.rename(bundle, bundle + ".moved")
        self.addCleanup(os.rename, bundle + ".moved", bundle)
        login = nuvctl("login", "ckWebAuthToken=" + token)
        self.assertEqual(login.returncode, 1)
        self.assertIn("cannot load the CloudKit backend", login.stderr)
        self.assertIn("cannot load the CloudKit backend", nuvctl("status", "--check").stdout)


DEVICES_ENTRY = "vemo.Tallyport.NUVDevices.desktop"
METAINFO = "share/metainfo/vemo.tallyport.NUVDevices.metainfo.xml"


if __name__ == "__main__":
    unittest.main()
