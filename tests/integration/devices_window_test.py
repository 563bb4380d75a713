"""nuv-devices, the devices window, against the module's host service: under
Xvfb, and on Wayland (headless weston, no X11 to fall back to), with the
accessibility bus, the window's rows read through AT-SPI as a screen reader
reads them.

The host is the real module (ModuleHost): a bundle copy with a scripted probe
on a private session bus, driven with Refresh() so that a change is reported
at once instead of at the next 5-second run. Only what a faulty or hostile
owner of the module's name sends comes from nuvtest.StandIn. Every wait is bounded; the window must end cleanly (status 0, no
sanitizer report, no GTK criticals).
"""

import json
import os
import re
import sqlite3
import subprocess
import tempfile
import time
import unittest

import nuvtest
from gi.repository import Gio, GLib
from nuvtest import HOST_INTERFACE, HOST_PATH, Lines, stop_process
from xdesktop import PYTHON, DesktopTestCase, WaylandDesktop, requires_display

HERE = os.path.dirname(os.path.abspath(__file__))
WINDOW = os.path.join(nuvtest.BUILD_DIR, "tools", "devices", "nuv-devices")
ATSPI_TREE = os.path.join(HERE, "helpers", "atspi_tree.py")
SCREENSHOTS = os.path.join(nuvtest.BUILD_DIR, "screenshots")
APP_ID = "vemo.Tallyport.NUVDevices"
CHANGE = 3.0    # a change reaches the window within this (other tests may run meanwhile)
STARTUP = 30.0  # the window is on the accessibility bus within this (sanitizer builds)
NOT_RUNNING = "NUVModule is not running"


def device(udid, name, battery=None, charging="0", attached="1", product="iPhone15,2",
           trusted="1", **more):
    entry = {"Bonjour": udid, "name": name, "Charging": charging, "Host Attached": attached,
             "ProductType": product, "Trusted": trusted, **more}
    if battery is not None:
        entry["Battery"] = battery
    return entry


def known(db, udid):
    """Whether the module has written a row of `udid` (its schema may not be there yet)."""
    try:
        return db.execute("SELECT count(*) FROM devices WHERE bonjour = ?", (udid,)).fetchone()[0]
    except sqlite3.OperationalError:
        return False


def stamp(seconds_ago):
    return int((time.time() - seconds_ago) * 1e6)


def keyed(*devices):
    return {d["Bonjour"]: d for d in devices}


def unstamped(devices):
    return {k: {f: v for f, v in d.items() if f != "timestamp"} for k, d in devices.items()}


PHONE = device("00008030-001A2B3C4D5E", "Anna's iPhone", "85", "1", "1", timestamp=stamp(130))
TABLET = device("00008027-000F1E2D3C4B", "Kitchen iPad", "18", "0", "0", "iPad13,4")


class ModuleHost:
    """The real module: a bundle copy whose scripted probe prints the devices
    one per run, in turn, as the real probe does with several devices. The
    host asks for runs with Refresh(), as the window's button does. The
    module stamps an entry with its own run's time, not the given one."""

    PROBE = """#!/bin/sh
echo run >> "{dir}/runs"
count=$(ls "{dir}" | grep -c '^device-')
[ "$count" -gt 0 ] || exit 0
turn=$(cat "{dir}/turn" 2>/dev/null || echo 0)
echo $((turn + 1)) > "{dir}/turn"
cat "{dir}/device-$((turn % count))"
"""

    def __init__(self, desktop, home):
        self.bus, self.home = desktop.bus, home
        self.module = None
        self.bundle = nuvtest.Bundle(home, "NUVModule-%d.app" % time.monotonic_ns())
        self.bundle.set_probe_script(self.PROBE.format(dir=self.bundle.control))
        self.host = nuvtest.Host(self.bus)

    def start(self, devices):
        self.write(devices)
        self.module = nuvtest.Module(self.bundle, self.bus, self.home)
        if not nuvtest.wait_until(self.host.owner, 10 + nuvtest.SLACK):
            raise AssertionError("the module did not take its name:\n" + self.module.log())
        self.publish(devices)

    def publish(self, devices):
        """Asks for runs until the module's Devices holds `devices`."""
        self.write(devices)
        reported = lambda: unstamped(self.host.devices().unpack())
        deadline = time.monotonic() + 10 + nuvtest.SLACK
        while time.monotonic() < deadline:
            runs = self.runs()
            self.host.refresh()
            nuvtest.wait_until(lambda: self.runs() > runs, 2)
            if nuvtest.wait_until(lambda: reported() == unstamped(devices), 0.2):
                return
        raise AssertionError("the module did not report %s but %s:\n%s" % (
            devices, reported(), self.module.log()))

    def write(self, devices):
        for name in os.listdir(self.bundle.control):
            if name.startswith("device-"):
                os.remove(os.path.join(self.bundle.control, name))
        for i, d in enumerate(sorted(unstamped(devices).values(), key=lambda d: d["Bonjour"])):
            nuvtest.write_whole(os.path.join(self.bundle.control, "device-%d" % i),
                                "".join("%s\t%s\n" % kv for kv in d.items()))

    def runs(self):
        try:
            with open(os.path.join(self.bundle.control, "runs")) as f:
                return len(f.readlines())
        except FileNotFoundError:
            return 0

    def expect(self, event, timeout):
        """"refresh": a probe run starts; "kill": the module ends with status 0."""
        before = self.runs()
        return nuvtest.wait_until(lambda: self.module.wait(0) == 0 if event == "kill"
                                  else self.runs() > before, timeout, 0.05)

    def stop(self):
        if self.module:
            self.module.stop()
            self.module = None
        if not nuvtest.wait_until(lambda: self.host.owner() is None, 5):
            raise AssertionError("the module's name was not released")

    def close(self):
        self.stop()
        self.host.close()


def nodes(tree):
    for node in tree:
        yield node
        yield from nodes(node["children"])


class View:
    """What the window shows, from its accessibility tree."""

    def __init__(self, tree):
        every = list(nodes(tree or []))
        self.labels = [n["name"] for n in every if n["role"] == "label"]
        self.named = {(n["role"], n["name"]) for n in every}
        self.buttons = {n["name"]: "sensitive" in n["states"] for n in every
                        if n["role"] == "push button"}
        lists = [n for n in every if n["role"] == "list" and n["name"] == "Devices"]
        self.rows = [self.row(item) for item in (lists[0]["children"] if lists else [])
                     if item["role"] == "list item"]

    @staticmethod
    def row(item):
        inside = list(nodes(item["children"]))
        levels = [n["value"] for n in inside if n["role"] == "level bar"]
        return {"name": item["name"], "description": item["description"],
                "level": levels[0] if levels else None,
                "texts": [n["name"] for n in inside if n["role"] == "label"],
                "images": [n["name"] for n in inside if n["role"] == "image"]}

    def summaries(self):
        return [(r["name"], r["description"]) for r in self.rows]


class Window:
    """nuv-devices as a real process, and its accessibility tree."""

    def __init__(self, desktop, env, log_dir, *args):
        self.log_path = os.path.join(log_dir, "window-%d.log" % time.monotonic_ns())
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen([WINDOW, *args], env=env, stdin=subprocess.DEVNULL,
                                     stdout=self._log, stderr=subprocess.STDOUT)
        self.reader = subprocess.Popen([PYTHON, ATSPI_TREE, "nuv-devices"], env=desktop.env,
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL, text=True)
        self.answers = Lines(self.reader.stdout)

    def ask(self, line):
        self.reader.stdin.write(line + "\n")
        self.reader.stdin.flush()
        answer = self.answers.next(30)
        assert answer is not None, "the accessibility reader did not answer"
        return json.loads(answer)

    def wait(self, predicate, timeout, what):
        """The first view for which predicate(view) holds, within `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while True:
            tree = self.ask("tree")
            view = View(tree if isinstance(tree, list) else None)
            if predicate(view):
                return view
            if time.monotonic() > deadline:
                raise AssertionError("%s: not within %.1f s; the window shows %s, %s\n%s" % (
                    what, timeout, view.labels, view.summaries(), self.log()[-2000:]))
            time.sleep(0.02)

    def act(self, role, name):
        if not self.ask("act %s %s" % (role.replace(" ", "_"), name)):
            raise AssertionError("no %s %r to act on" % (role, name))

    def log(self):
        if not self._log.closed:
            self._log.flush()
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def close(self, quiet=False):
        """Ends the window (SIGTERM, as a session logout does); returns its problems.
        `quiet`: anything it logged is one."""
        self.reader.stdin.close()
        stop_process(self.reader, 5)
        self.reader.stdout.close()
        status = stop_process(self.proc, 20)
        self._log.close()
        text = self.log()
        problems = [] if status == 0 else ["nuv-devices exited with %s" % status]
        problems += [line for line in text.splitlines() if quiet or "CRITICAL" in line]
        problems += filter(None, [nuvtest.sanitizer_report(text)])
        return problems and problems + [text[-4000:]]


def expected(*devices, stamped=False):
    """(name, description) per row, as the window orders them. `stamped`:
    the host keeps the devices' "timestamp" (the module stamps entries with
    the moment of its own probe run)."""
    rows = []
    for d in devices:
        if d.get("Trusted") == "0":
            text = "Unlock and trust this computer"
        elif "Battery" not in d:
            text = "Battery unknown"
        else:
            text = d["Battery"] + "%" + (", charging" if d["Charging"] == "1" else "")
        text += ", attached by USB" if d["Host Attached"] == "1" else ", not attached"
        minutes = int(time.time() - d["timestamp"] / 1e6) // 60 if stamped else 0
        rows.append((d["name"], "%s, changed %s" % (
            text, "%d min ago" % minutes if minutes else "just now")))
    return sorted(rows, key=lambda r: r[0].lower())


class WindowTestCase(DesktopTestCase):
    """The window on a desktop of DESKTOP's kind, one per test class, against the module."""

    PROGRAM = WINDOW

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="nuv-devices-", dir=self.desktop.tmp)
        # systemctl as the window finds it in PATH: records its arguments, and
        # fails with the text of ./systemctl-fails when that file exists.
        bin_dir = os.path.join(self.tmp, "bin")
        os.makedirs(bin_dir)
        self.systemctl_log = os.path.join(self.tmp, "systemctl.log")
        self.systemctl_failure = os.path.join(self.tmp, "systemctl-fails")
        nuvtest.make_executable(os.path.join(bin_dir, "systemctl"), (
            '#!/bin/sh\necho "$*" >> "%s"\n'
            '[ -f "%s" ] && { cat "%s" >&2; exit 5; }\nexit 0\n') % (
            self.systemctl_log, self.systemctl_failure, self.systemctl_failure))
        # Without GL: under Xvfb it is Mesa's software rasterizer, slow to load,
        # and its driver leaves allocations behind when it is unloaded at exit.
        self.env = dict(self.desktop.env, PATH=bin_dir + os.pathsep + os.environ["PATH"],
                        GDK_DEBUG="gl-disable", **nuvtest.settings_env(
                            os.path.join(self.tmp, "config"), battery_alerts="false"))
        self.host = ModuleHost(self.desktop, self.tmp)
        self.addCleanup(self.host.close)

    def open_window(self, *args, quiet=False):
        """nuv-devices with `args`, closed at the end of the test; `quiet`: it
        must log nothing."""
        window = Window(self.desktop, self.env, self.tmp, *args)

        def close():
            problems = window.close(quiet)
            if problems:
                self.fail("\n".join(problems))
        self.addCleanup(close)
        return window

    def wait_rows(self, window, rows, timeout, what="rows"):
        return window.wait(lambda v: v.summaries() == rows, timeout, what)

    def wait_not_running(self, window, timeout):
        return window.wait(lambda v: NOT_RUNNING in v.labels and not v.rows, timeout,
                           "the not-running state")

    def activate(self, action, *parameters):
        """Activates one of the window's application actions over the bus."""
        bus = nuvtest.connect(self.desktop.bus.address)
        try:
            bus.call_sync(APP_ID, "/" + APP_ID.replace(".", "/"), "org.gtk.Actions", "Activate",
                          GLib.Variant("(sava{sv})", (action, list(parameters), {})), None,
                          Gio.DBusCallFlags.NONE, 5000, None)
        finally:
            bus.close_sync(None)

    def two_devices_then_a_change(self, screenshot, quiet=False):
        """The module reports PHONE and TABLET, then the window opens: their
        rows, a screenshot, and a change of the phone within CHANGE. Returns
        the window and the changed phone."""
        self.host.start(keyed(PHONE, TABLET))
        window = self.open_window(quiet=quiet)
        view = self.wait_rows(window, expected(PHONE, TABLET), STARTUP)
        phone, tablet = view.rows
        self.assertEqual((phone["level"], phone["texts"][-1], tablet["level"],
                          tablet["texts"][-1]), (85, "85%", 18, "18%"))
        self.assertIn("Charging", phone["images"])
        self.assertIn("Not charging", tablet["images"])
        self.assertEqual(["iPhone", "iPad"], [r["images"][0] for r in view.rows])
        self.assertIn("2 devices", view.labels)
        self.desktop.screenshot(os.path.join(SCREENSHOTS, screenshot))

        changed = dict(PHONE, Battery="86", Charging="0")
        self.host.publish(keyed(changed, TABLET))
        sent = time.monotonic()
        view = self.wait_rows(window, expected(changed, TABLET), CHANGE, "the change")
        self.assertLess(time.monotonic() - sent, CHANGE)
        self.assertEqual(view.rows[0]["level"], 86)
        return window, changed


@requires_display
class DevicesWindowTest(WindowTestCase):
    def test_rows_follow_the_module_as_it_changes_stops_and_comes_back(self):
        window, changed = self.two_devices_then_a_change("devices.png")

        self.host.stop()
        view = self.wait_not_running(window, CHANGE)
        self.assertFalse(view.buttons["Refresh"])
        self.assertTrue(view.buttons["Start NUVModule"])

        # Back (a relaunch after wake): the same window fills again.
        locked = device("u-locked", "<b>Ben's</b> iPod & <i>co</i>", "40", "1", "1",
                        "iPod9,1", trusted="0")
        unknown = device("u-unknown", "Zed", None, "0", "0")
        self.host.start(keyed(changed, locked, unknown))
        view = self.wait_rows(window, expected(changed, locked, unknown), 5 * CHANGE,
                              "rows again")
        ben, _, zed = view.rows
        self.assertEqual(ben["texts"][0], "<b>Ben's</b> iPod & <i>co</i>")  # shown literally
        self.assertEqual((ben["level"], ben["texts"][-1]), (None, "Unlock and trust this computer"))
        self.assertEqual((zed["level"], zed["texts"][-1]), (None, "?"))

        # A module that has no device yet.
        self.host.stop()
        self.host.start({})
        window.wait(lambda v: "No devices yet" in v.labels and not v.rows, 5 * CHANGE,
                    "no devices")

    def test_start_refresh_and_stop_from_the_window(self):
        window = self.open_window()
        self.wait_not_running(window, STARTUP)

        # Start runs the user unit, and shows its failure.
        with open(self.systemctl_failure, "w") as f:
            f.write("Failed to start nuvmodule.service: Unit nuvmodule.service not found.\n")
        window.act("push button", "Start NUVModule")
        window.wait(lambda v: any("Unit nuvmodule.service not found" in t for t in v.labels),
                    10, "the failure")
        os.remove(self.systemctl_failure)
        window.act("push button", "Start NUVModule")
        window.wait(lambda v: "Starting NUVModule\u2026" in v.labels, 5, "the starting state")
        with open(self.systemctl_log) as f:
            self.assertEqual(f.read(), "--user start nuvmodule.service\n" * 2)
        self.host.start(keyed(TABLET))  # what the unit starts
        self.wait_rows(window, expected(TABLET), 5 * CHANGE)

        window.act("push button", "Refresh")
        self.assertTrue(self.host.expect("refresh", 5))

        def stop_dialog(answer):
            window.act("push button", "Main menu")
            item = ("menu item", "Stop NUVModule\u2026")
            window.wait(lambda v: item in v.named, 5, "the menu")
            window.act(*item)
            window.wait(lambda v: "Stop NUVModule?" in v.labels, 5, "the question")
            window.act("push button", answer)

        stop_dialog("Cancel")
        self.assertFalse(self.host.expect("kill", 0.5))  # asked, and nothing sent
        window.wait(lambda v: "Stop NUVModule?" not in v.labels, 5, "the question closed")
        stop_dialog("Stop")
        self.assertTrue(self.host.expect("kill", 5))
        self.wait_not_running(window, 5)

    def test_a_devices_page_charts_its_history(self):
        phone = dict(PHONE, BatteryCycleCount="412", BatteryMaxCapacity="87")
        self.host.start(keyed(phone))
        self.fill_history(phone["Bonjour"])
        window = self.open_window()
        self.wait_rows(window, expected(phone), STARTUP)
        self.activate("show-device", GLib.Variant("s", phone["Bonjour"]))
        view = window.wait(lambda v: ("image", "Battery history of Anna's iPhone") in v.named
                           and any(t.startswith("Now 85%") for t in v.labels), 10, "the page")
        self.assertIn("Charge cycles: 412 \u00b7 Maximum capacity: 87%", view.labels)
        self.assertTrue(any("lowest 20% at" in t and "last full charge" in t for t in view.labels),
                        view.labels)
        self.desktop.screenshot(os.path.join(SCREENSHOTS, "device-history.png"))

    def fill_history(self, udid):
        """24 hours behind the module's own first row: a discharge to 20%, an
        hour the module was stopped, a charge to full on external power, and a
        slow discharge to 85% (the module's row now)."""
        path = os.path.join(self.tmp, "state", "NUVModule", "history.sqlite")
        self.assertTrue(nuvtest.wait_until(lambda: os.path.exists(path), 5))
        now = int(time.time() * 1e6)
        hour = 3600 * 10**6
        rows = [(now - 24 * hour + i * hour // 4, 95 - i * 75 // 40, 0, 0) for i in range(41)]
        rows += [(now - 13 * hour + i * hour // 4, 20 + i * 80 // 12, 1, 1) for i in range(13)]
        rows += [(now - 10 * hour + i * hour, 100 - i * 15 // 9, 0, 0) for i in range(10)]
        db = sqlite3.connect(path, timeout=5)
        with db:
            self.assertTrue(nuvtest.wait_until(lambda: known(db, udid), 5))
            db.executemany("INSERT OR REPLACE INTO samples SELECT id, ?, ?, ?, ? FROM devices "
                           "WHERE bonjour = ?", [r + (udid,) for r in rows])
            db.executemany("INSERT INTO events(time, kind) VALUES(?, ?)",
                           [(now - 14 * hour, "stop"), (now - 13 * hour, "start")])
        db.close()

    def test_storms_strangers_and_garbage_leave_the_newest_map(self):
        host = nuvtest.StandIn(self.desktop.bus, keyed(PHONE))
        self.addCleanup(host.close)
        window = self.open_window()
        self.wait_rows(window, expected(PHONE, stamped=True), STARTUP)

        # Another process on the bus announces devices on the module's path:
        # it does not own the name, so nothing changes.
        stranger = nuvtest.connect(self.desktop.bus.address)
        self.addCleanup(stranger.close_sync, None)
        stranger.emit_signal(None, HOST_PATH, "org.freedesktop.DBus.Properties",
                             "PropertiesChanged", GLib.Variant("(sa{sv}as)", (
                                 HOST_INTERFACE, {"Devices": nuvtest.StandIn.variant(
                                     {"x": {"name": "Intruder"}})}, [])))
        stranger.flush_sync(None)
        # The owner itself sends a map of the wrong shape, three times apart
        # (the window keeps only the newest of maps that come at once):
        # dropped, logged once.
        for _ in range(3):
            host.announce(GLib.Variant.parse(None, "{'x': <'not a dictionary'>}", None, None))
            host.conn.flush_sync(None)
            time.sleep(0.2)
        self.wait_rows(window, expected(PHONE, stamped=True), 0, "rows left as they were")
        # Then a storm: 300 maps in one burst; the last one must stand.
        burst = [dict(PHONE, Battery=str(i % 100), timestamp=stamp(0)) for i in range(300)]
        for phone in burst:
            host.publish(keyed(phone))
        host.conn.flush_sync(None)
        sent = time.monotonic()
        self.wait_rows(window, expected(burst[-1], stamped=True), CHANGE, "the storm's last map")
        self.assertLess(time.monotonic() - sent, CHANGE)
        self.assertEqual(window.log().count("ignored a device map of the wrong shape"), 1)


@requires_display
class DevicesWindowOnWaylandTest(WindowTestCase):
    """The window on headless weston, where GTK cannot fall back to X11."""

    DESKTOP = WaylandDesktop

    def setUp(self):
        super().setUp()
        # GTK's default renderer, as a person gets it: there it is GL on
        # Mesa's software rasterizer, drawing into shared memory.
        self.env.pop("GDK_DEBUG")

    def test_rows_follow_the_module_and_the_window_logs_nothing(self):
        window, _ = self.two_devices_then_a_change("devices-wayland.png", quiet=True)

        # Started again, it hands over to the open window and ends.
        again = subprocess.run([WINDOW], env=self.env, capture_output=True, text=True,
                               timeout=STARTUP)
        self.assertEqual((again.returncode, again.stdout + again.stderr), (0, ""))

        # The question is a dialog kept with its window. Headless weston has
        # no seat, so GTK cannot show the menu's popup there: the test asks
        # through the application action that the menu item activates.
        self.activate("stop-module")
        window.wait(lambda v: "Stop NUVModule?" in v.labels, 5, "the question")
        window.act("push button", "Stop")
        self.assertTrue(self.host.expect("kill", 5))
        self.wait_not_running(window, CHANGE)

        # The compositor finds the desktop file (name, icon) by the app id,
        # and keeps the question with the window it belongs to.
        requests = self.desktop.requests()
        main = re.search(r"(client \S+) rq (xdg_toplevel@\d+)\.set_title\(\"NUVModule Devices\"\)",
                         requests)
        self.assertIsNotNone(main, "the window has no toplevel with its title")
        client, toplevel = main.groups()
        told = [line.split(" rq ", 1)[1] for line in requests.splitlines()
                if client + " rq xdg_toplevel@" in line]
        self.assertIn('%s.set_app_id("%s")' % (toplevel, APP_ID), told)
        # Two toplevels, the window and the question, whose parent is the window.
        self.assertEqual(sorted(r.split(".", 1)[1] for r in told if ".set_parent(" in r),
                         ["set_parent(nil)", "set_parent(%s)" % toplevel])


if __name__ == "__main__":
    unittest.main()
