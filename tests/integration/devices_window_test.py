"""nuv-devices against the real module under Xvfb and on Wayland (headless
weston), read through AT-SPI as a screen reader reads it. Every wait is
bounded; the window must end cleanly (no sanitizer report, no GTK criticals).
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
from nuvtest import Lines, stop_process
from xdesktop import PYTHON, DesktopTestCase, WaylandDesktop, requires_display

WINDOW = os.path.join(nuvtest.BUILD_DIR, "tools", "devices", "nuv-devices")
ATSPI_TREE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "helpers", "atspi_tree.py")
SCREENSHOTS = os.path.join(nuvtest.BUILD_DIR, "screenshots")
APP_ID = "vemo.Tallyport.NUVDevices"
CHANGE = 3.0    # a change reaches the window within this (other tests may run meanwhile)
STARTUP = 30.0  # the window is on the accessibility bus within this (sanitizer builds)
ESCAPE, LEFT, RETURN = 0xff1b, 0xff51, 0xff0d  # X11 key symbols

# Presses the key argv[1] (a key symbol), with Alt held when there is an
# argv[2], as a person does: synthesized through AT-SPI (X11 only).
KEY = """
import sys, gi
gi.require_version("Atspi", "2.0")
from gi.repository import Atspi
Atspi.init()
alt = 1 << int(Atspi.ModifierType.ALT) if sys.argv[2:] else 0
Atspi.generate_keyboard_event(alt, None, Atspi.KeySynthType.LOCKMODIFIERS)
Atspi.generate_keyboard_event(int(sys.argv[1]), None, Atspi.KeySynthType.SYM)
Atspi.generate_keyboard_event(alt, None, Atspi.KeySynthType.UNLOCKMODIFIERS)
"""


def device(udid, name, battery=None, charging="0", attached="1", product="iPhone15,2",
           trusted="1", **more):
    entry = {"Bonjour": udid, "name": name, "Charging": charging, "Host Attached": attached,
             "ProductType": product, "Trusted": trusted, **more}
    if battery is not None:
        entry["Battery"] = battery
    return entry


def keyed(*devices):
    return {d["Bonjour"]: d for d in devices}


PHONE = device("00008030-001A2B3C4D5E", "Anna's iPhone", "85", "1", "1")
TABLET = device("00008027-000F1E2D3C4B", "Ada's iPad", "18", "0", "0", "iPad13,4")


class ModuleHost(nuvtest.Host):
    """The real module (a bundle copy with a scripted probe) and its host service."""

    def __init__(self, desktop, home):
        super().__init__(desktop.bus)
        self.bus, self.home, self.module = desktop.bus, home, None
        self.bundle = nuvtest.Bundle(home, "NUVModule-%d.app" % time.monotonic_ns())

    def start(self, devices):
        self.bundle.set_output("")
        self.module = nuvtest.Module(self.bundle, self.bus, self.home)
        self.publish(devices)

    def publish(self, devices):
        """Has the module report `devices`, one per run as the real probe does."""
        for d in devices.values():
            self.bundle.set_output("".join("%s\t%s\n" % kv for kv in d.items()))
            # Once the module has its name; refresh() returns None, and one
            # asked for during a run is dropped.
            if not nuvtest.wait_until(lambda: self.owner() and (
                    self.refresh() or self.reported(d["Bonjour"]) == d), 10 + nuvtest.SLACK, 0.2):
                raise AssertionError("the module did not report %s:\n%s" % (d, self.module.log()))

    def reported(self, udid):
        entry = self.devices().unpack().get(udid, {})
        return {f: v for f, v in entry.items() if f != "timestamp"}

    def stop(self):
        if self.module:
            self.module.stop()
            self.module = None
        if not nuvtest.wait_until(lambda: self.owner() is None, 5):
            raise AssertionError("the module's name was not released")



def nodes(tree):
    for node in tree:
        yield node
        yield from nodes(node["children"])


class View:
    """What the window shows, from its accessibility tree."""

    def __init__(self, tree, devices="Devices"):
        every = list(nodes(tree or []))
        self.labels = [n["name"] for n in every if n["role"] == "label"]
        self.named = {(n["role"], n["name"]) for n in every}
        self.described = {n["name"]: n["description"] for n in every if n["role"] == "image"}
        self.focused = [n["name"] for n in every if "focused" in n["states"]]
        self.buttons = {n["name"]: "sensitive" in n["states"] for n in every
                        if n["role"] == "push button"}
        lists = [n for n in every if n["role"] == "list" and n["name"] == devices]
        self.rows = [self.row(item) for item in (lists[0]["children"] if lists else [])
                     if item["role"] == "list item"]

    @staticmethod
    def row(item):
        inside = list(nodes(item["children"]))
        return {"name": item["name"], "description": item["description"],
                "level": next((n["value"] for n in inside if n["role"] == "level bar"), None),
                "texts": [n["name"] for n in inside if n["role"] == "label"],
                "images": [n["name"] for n in inside if n["role"] == "image"]}

    def summaries(self):
        return [(r["name"], r["description"]) for r in self.rows]


class Window:
    """nuv-devices as a real process, and its accessibility tree."""

    def __init__(self, desktop, env, log_dir, *args):
        self.desktop, self.devices = desktop, "Devices"  # the list's name, in the window's language
        self.log_path = os.path.join(log_dir, "window-%d.log" % time.monotonic_ns())
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen([WINDOW, *args], env=env, stdin=subprocess.DEVNULL,
                                     stdout=self._log, stderr=subprocess.STDOUT)
        self.reader = subprocess.Popen([PYTHON, ATSPI_TREE, "nuv-devices"], env=desktop.env,
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL, text=True)
        self.answers = Lines(self.reader.stdout)

    def ask(self, line):
        print(line, file=self.reader.stdin, flush=True)
        answer = self.answers.next(30)
        assert answer is not None, "the accessibility reader did not answer"
        return json.loads(answer)

    def wait(self, predicate, timeout, what):
        """The first view for which predicate(view) holds, within `timeout` seconds."""
        views = []

        def holds():
            views.append(self.view())
            return predicate(views[-1])
        if not nuvtest.wait_until(holds, timeout):
            raise AssertionError("%s: not within %.1f s; the window shows %s, %s\n%s" % (
                what, timeout, views[-1].labels, views[-1].summaries(), self.log()[-2000:]))
        return views[-1]

    def act(self, role, name):
        if not self.ask("act %s %s" % (role.replace(" ", "_"), name)):
            raise AssertionError("no %s %r to act on" % (role, name))

    def press(self, key, until, alt=False):
        """Presses `key` until until(view) holds: under Xvfb a synthesized key is now
        and then not taken, so it is pressed again (the keys here do no harm twice)."""
        for _ in range(3):
            subprocess.run([PYTHON, "-c", KEY, str(key), *["alt"] * alt], env=self.desktop.env,
                           check=True, timeout=30)
            if nuvtest.wait_until(lambda: until(self.view()), 3):
                return
        raise AssertionError("after the key 0x%x the window shows %s" % (key, self.view().labels))

    def view(self):
        tree = self.ask("tree")
        return View(tree if isinstance(tree, list) else None, self.devices)

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def close(self, quiet=False):
        """Ends the window (SIGTERM, as at logout); its problems (`quiet`: any line logged)."""
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


def expected(*devices):
    """(name, description) per row, as the window orders them."""
    def battery(d):
        if d.get("Trusted") == "0":
            return "Unlock and trust this computer"
        if "Battery" not in d:
            return "Battery unknown"
        return d["Battery"] + ("%, charging" if d["Charging"] == "1" else "%")
    where = {"1": "attached by USB", "0": "not attached"}
    return sorted(((d["name"], "%s, %s, changed just now" % (battery(d), where[d["Host Attached"]]))
                   for d in devices), key=lambda r: r[0].lower())


class WindowTestCase(DesktopTestCase):
    """The window on a desktop of DESKTOP's kind, one per test class, against the module."""

    PROGRAM = WINDOW

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="nuv-devices-", dir=self.desktop.tmp)
        # systemctl as the window finds it in PATH: records its arguments, and
        # fails with the text of ./systemctl-fails when that file exists.
        bin_dir = os.path.join(self.tmp, "bin")
        os.makedirs(bin_dir)
        self.systemctl_log, self.systemctl_failure = (
            os.path.join(self.tmp, name) for name in ("systemctl.log", "systemctl-fails"))
        nuvtest.make_executable(os.path.join(bin_dir, "systemctl"), (
            '#!/bin/sh\necho "$*" >> "{0}"\n[ -f "{1}" ] && {{ cat "{1}" >&2; exit 5; }}\nexit 0\n'
        ).format(self.systemctl_log, self.systemctl_failure))
        # Under Xvfb without GL: Mesa's software rasterizer is slow to load, and
        # its driver leaves allocations behind when it is unloaded at exit. On
        # Wayland GTK's default renderer, as a person gets it (GL on Mesa's
        # software rasterizer, drawing into shared memory).
        self.env = dict(self.desktop.env, PATH=bin_dir + os.pathsep + os.environ["PATH"],
                        **nuvtest.settings_env(os.path.join(self.tmp, "config"),
                                               battery_alerts="false"))
        if not self.wayland:
            self.env["GDK_DEBUG"] = "gl-disable"
        self.host = ModuleHost(self.desktop, self.tmp)
        self.addCleanup(self.host.close)
        self.addCleanup(self.host.stop)

    wayland = property(lambda self: issubclass(self.DESKTOP, WaylandDesktop))

    def open_window(self, *args, quiet=False):
        """nuv-devices, closed at the end of the test; `quiet`: it must log nothing."""
        window = Window(self.desktop, self.env, self.tmp, *args)

        def close():
            problems = window.close(quiet)
            self.assertFalse(problems, "\n".join(problems or []))
        self.addCleanup(close)
        return window

    def wait_rows(self, window, rows, timeout, what="rows"):
        return window.wait(lambda v: v.summaries() == rows, timeout, what)

    def activate(self, action, *parameters):
        """Activates one of the window's application actions over the bus."""
        self.host.conn.call_sync(
            APP_ID, "/" + APP_ID.replace(".", "/"), "org.gtk.Actions", "Activate",
            GLib.Variant("(sava{sv})", (action, list(parameters), {})), None,
            Gio.DBusCallFlags.NONE, 5000, None)


@requires_display
class DevicesWindowTest(WindowTestCase):
    def test_rows_follow_the_module_which_the_window_refreshes_stops_and_starts(self):
        """Also on Wayland, where the window must log nothing."""
        phone = dict(PHONE, ChargingWatts="12", ChargerWatts="20", ChargerWireless="0",
                     BatteryTemperature="31")
        self.host.start(keyed(phone, TABLET))
        window = self.open_window(quiet=self.wayland)
        power = "charging at 12 W, 20 W charger, 31 \u00b0C"
        view = self.wait_rows(window, expected(TABLET) + [(
            phone["name"], "85%%, %s, attached by USB, changed just now" % power)], STARTUP)
        self.assertEqual([(r["level"], r["texts"][-1], r["images"][0], r["images"][-1])
                          for r in view.rows],
                         [(18, "18%", "iPad", "Not charging"), (85, "85%", "iPhone", "Charging")])
        self.assertEqual(view.rows[1]["texts"][1:3], [
            "Attached by USB \u00b7 changed just now",
            "Charging at 12 W \u00b7 20 W charger \u00b7 31 \u00b0C"])
        shot = "devices-wayland.png" if self.wayland else "devices.png"
        self.desktop.screenshot(os.path.join(SCREENSHOTS, shot))

        changed = dict(PHONE, Battery="86", Charging="0")
        self.host.publish(keyed(changed, TABLET))
        view = self.wait_rows(window, expected(changed, TABLET), CHANGE, "the change")
        self.assertEqual(view.rows[1]["level"], 86)
        runs = len(self.host.bundle.starts())
        window.act("push button", "Refresh")
        self.assertTrue(nuvtest.wait_until(lambda: len(self.host.bundle.starts()) > runs, 5))

        # The menu's Stop asks first, in a dialog kept with its window: Cancel
        # sends nothing, Stop the kill.
        for answer, status, wait in (("Cancel", None, 0.5), ("Stop", 0, 5)):
            if self.wayland:  # headless weston has no seat to show the menu's popup
                self.activate("stop-module")
            else:
                window.act("push button", "Main menu")
                window.wait(lambda v: ("menu item", "Stop NUVModule\u2026") in v.named, 5, "menu")
                window.act("menu item", "Stop NUVModule\u2026")
            window.wait(lambda v: "Stop NUVModule?" in v.labels, 5, "the question")
            window.act("push button", answer)
            self.assertEqual(self.host.module.wait(wait), status, answer)
            window.wait(lambda v: "Stop NUVModule?" not in v.labels, 5, "the question closed")
        view = window.wait(lambda v: "NUVModule is not running" in v.labels and not v.rows, CHANGE,
                           "the not-running state")
        self.assertEqual((view.buttons["Refresh"], view.buttons["Start NUVModule"]), (False, True))
        self.host.stop()
        if self.wayland:
            # The compositor finds the desktop file (name, icon) by the app
            # id, and keeps the questions with the window they belong to.
            requests = self.desktop.requests()
            main = re.search(r'rq (xdg_toplevel@\d+)\.set_title\("NUVModule Devices"\)', requests)
            self.assertIsNotNone(main, "the window has no toplevel with its title")
            self.assertIn('%s.set_app_id("%s")' % (main[1], APP_ID), requests)
            self.assertEqual(sorted(re.findall(r"xdg_toplevel@\d+\.set_parent\((.*)\)", requests)),
                             ["nil", main[1], main[1]])

        # Start runs the user unit, and shows its failure; then the window
        # fills again, as after a relaunch.
        nuvtest.write_whole(self.systemctl_failure, "Unit nuvmodule.service not found.\n")
        window.act("push button", "Start NUVModule")
        window.wait(lambda v: any("service not found" in t for t in v.labels), 10, "the failure")
        os.remove(self.systemctl_failure)
        window.act("push button", "Start NUVModule")
        window.wait(lambda v: "Starting NUVModule\u2026" in v.labels, 5, "the starting state")
        with open(self.systemctl_log) as f:
            self.assertEqual(f.read(), "--user start nuvmodule.service\n" * 2)
        self.host.start({})  # what the unit starts, before it has found a device
        window.wait(lambda v: "No devices yet" in v.labels and not v.rows, 5 * CHANGE,
                    "no devices")
        locked = device("u-locked", "<b>Ben's</b> iPod & <i>co</i>", "40", "1", "1",
                        "iPod9,1", trusted="0")
        unknown = device("u-unknown", "Zed", None, "0", "0")
        self.host.publish(keyed(changed, locked, unknown))
        view = self.wait_rows(window, expected(changed, locked, unknown), 5 * CHANGE,
                              "rows again")
        self.assertEqual([(r["texts"][0], r["level"], r["texts"][-1]) for r in view.rows[::2]],
                         [("<b>Ben's</b> iPod & <i>co</i>", None, "Unlock and trust this computer"),
                          ("Zed", None, "?")])  # the name shown literally

    def test_a_devices_page_charts_its_history_and_health_and_slides_back(self):
        phone = dict(PHONE, BatteryCycleCount="1412", BatteryMaxCapacity="87",
                     BatteryFullChargeCapacity="2815", BatteryDesignCapacity="3279",
                     BatteryTemperature="31", ChargerName="USB-C Power Adapter", ChargerWatts="20",
                     ChargerWireless="0", ChargingWatts="12", ExternalConnected="1")
        self.host.start(keyed(phone, TABLET))
        self.fill_history(phone["Bonjour"])
        # An English locale of the test's own, for the digit grouping.
        self.env.update(nuvtest.locale_env(os.path.join(self.tmp, "locales"), "en_US"))
        window = self.open_window()
        window.wait(lambda v: len(v.rows) == 2, STARTUP, "rows")

        # The device's page slides in, its name as the title; the list is then
        # hidden from screen readers too.
        def page(v, *lines, now="Now 85%"):
            return (("image", "Battery history of Anna's iPhone") in v.named and not v.rows
                    and any(t.startswith(now + ", charging \u00b7 lowest 20% at") and
                            "last full charge" in t for t in v.labels)
                    and set(lines) <= set(v.labels))
        self.activate("show-device", GLib.Variant("s", phone["Bonjour"]))  # an alert's click
        window.wait(lambda v: page(v, "Anna's iPhone", "Battery history"), 10, "the page")
        time.sleep(0.5)  # the slide (200 ms) has ended
        self.desktop.screenshot(os.path.join(SCREENSHOTS, "device-history.png"))

        # The battery tab: the facts, numbers grouped as the locale groups
        # them, and the health trend of the year kept, falling to 80% within it.
        facts = ["Maximum capacity", "87%", "Capacity", "2,815 of 3,279 mAh", "Charge cycles",
                 "1,412", "Temperature", "31 \u00b0C", "Charger",
                 "USB-C Power Adapter \u00b7 20 W \u00b7 wired", "Charging power", "12 W"]
        health = "Battery health of Anna's iPhone"
        window.act("page tab", "Battery")
        view = window.wait(lambda v: facts == [t for t in v.labels if t in facts] and re.match(
            r"Maximum capacity 87%, down from 97% in \w+ \d{4} \u00b7 80% expected around "
            r"\w+ \d{4}$", v.described.get(health, "")), 10, "the battery tab")
        self.assertIn(view.described[health], view.labels)
        time.sleep(0.5)  # the crossfade has ended
        self.desktop.screenshot(os.path.join(SCREENSHOTS, "device-health.png"))

        # Back by Escape, Alt+Left and the button, to the list without a Back
        # button, the device's row focused: Return opens its page again.
        listed = lambda v: "Back" not in v.buttons and v.focused == ["Anna's iPhone"]  # noqa: E731
        for back in (lambda: window.press(ESCAPE, listed), lambda: window.press(LEFT, listed, True),
                     lambda: window.act("push button", "Back") or window.wait(listed, 5, "list")):
            back()
            window.press(RETURN, page)

        # A new row is drawn as it comes. The module comes back without the
        # phone: the page stays, with its history, and says so.
        self.host.publish(keyed(dict(phone, Battery="86"), TABLET))
        window.wait(lambda v: page(v, now="Now 86%"), CHANGE, "the new row")
        self.host.stop()
        self.host.start(keyed(TABLET))
        window.wait(lambda v: page(v, "Anna's iPhone is no longer among NUVModule's devices. Its "
                                   "history stays here until you go back.", now="Now 86%"),
                    5 * CHANGE, "the page of a device that left")

    def fill_history(self, udid):
        """24 hours: a discharge to 20%, an hour not watched, a charge, a discharge to 85%;
        and 300 days of health rows, falling from 97% to 87%."""
        self.assertTrue(nuvtest.wait_until(lambda: self.host.call(
            "GetHistory", GLib.Variant("(sx)", (udid, 0)), reply="(a(xybb)a(xx))")[0], 5))
        now, hour = int(time.time() * 1e6), 3600 * 10**6
        rows = [(now - 24 * hour + i * hour // 4, 95 - i * 75 // 40, 0, 0) for i in range(41)]
        rows += [(now - 13 * hour + i * hour // 4, 20 + i * 80 // 12, 1, 1) for i in range(13)]
        rows += [(now - 10 * hour + i * hour, 100 - i * 15 // 9, 0, 0) for i in range(10)]
        db = sqlite3.connect(os.path.join(self.tmp, "state", "NUVModule", "history.sqlite"))
        with db:
            db.executemany("INSERT OR REPLACE INTO samples SELECT id, ?, ?, ?, ? FROM devices "
                           "WHERE bonjour = ?", [r + (udid,) for r in rows])
            db.executemany("INSERT INTO events(time, kind) VALUES(?, ?)",
                           [(now - 14 * hour, "stop"), (now - 13 * hour, "start")])
            day = 24 * hour
            db.executemany("INSERT OR REPLACE INTO health SELECT id, ?, ?, ?, ?, 3279, ? FROM "
                           "devices WHERE bonjour = ?",
                           [((now - d * day) // day, now - d * day, 1412 - d, 3279 * p // 100, p,
                             udid) for d in range(300, 0, -1)
                            for p in [87 + d * 10 // 300 + (d % 7 == 3)]])
        db.close()

    def test_storms_strangers_and_garbage_leave_the_newest_map(self):
        host = nuvtest.StandIn(self.desktop.bus, keyed(PHONE))
        self.addCleanup(host.close)
        window = self.open_window()
        self.wait_rows(window, expected(PHONE), STARTUP)

        # Another process on the bus (the test's own host connection) sends
        # what the owner would: it does not own the name, so nothing changes.
        nuvtest.StandIn.announce(self.host, nuvtest.StandIn.variant({"x": {"name": "Intruder"}}))
        self.host.conn.flush_sync(None)
        # The owner itself sends a map of the wrong shape, three times apart
        # (the window keeps only the newest of maps that come at once):
        # dropped, logged once.
        for _ in range(3):
            host.announce(GLib.Variant.parse(None, "{'x': <'not a dictionary'>}", None, None))
            host.conn.flush_sync(None)
            time.sleep(0.2)
        self.wait_rows(window, expected(PHONE), 0, "rows left as they were")
        # Then a storm: 300 maps in one burst; the last one must stand.
        burst = [dict(PHONE, Battery=str(i % 100)) for i in range(300)]
        for phone in burst:
            host.publish(keyed(phone))
        host.conn.flush_sync(None)
        self.wait_rows(window, expected(burst[-1]), CHANGE, "the storm's last map")
        self.assertEqual(window.log().count("ignored a device map of the wrong shape"), 1)


@requires_display
class DevicesWindowOnWaylandTest(WindowTestCase):
    DESKTOP = WaylandDesktop
    test_rows_follow_the_module_which_the_window_refreshes_stops_and_starts = \
        DevicesWindowTest.test_rows_follow_the_module_which_the_window_refreshes_stops_and_starts


if __name__ == "__main__":
    unittest.main()
