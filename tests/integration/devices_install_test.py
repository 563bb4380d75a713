"""The devices window as installed: `cmake --install` into a prefix whose path
needs quoting, then the .desktop file, the autostart entry (on: below the
prefix's etc/xdg) and the icon as a desktop reads them."""

import os
import shutil
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

import nuvtest
from gi.repository import Gio, GLib

APP_ID = "vemo.Tallyport.NUVDevices"


@unittest.skipUnless(shutil.which("desktop-file-validate"), "desktop-file-utils is not installed")
class DevicesInstallTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="nuv-install-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def test_entries_validate_and_start_the_installed_program(self):
        # "$" and a space must survive desktop quoting. (CMake cannot install
        # below a backslash or a double quote, and GLib does not find a
        # program whose path holds a "%".)
        prefix = os.path.join(self.tmp, "pre fix $HOME")
        out = subprocess.run(["cmake", "--install", nuvtest.BUILD_DIR, "--prefix", prefix,
                              "--component", "devices"],
                             capture_output=True, text=True, timeout=120)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        program = os.path.join(prefix, "bin", "nuv-devices")
        self.assertTrue(os.access(program, os.X_OK), program)

        icon = os.path.join(prefix, "share", "icons", "hicolor", "scalable", "apps",
                            APP_ID + ".svg")
        self.assertEqual(ElementTree.parse(icon).getroot().tag, "{http://www.w3.org/2000/svg}svg")

        entries = {"menu": os.path.join(prefix, "share", "applications", APP_ID + ".desktop"),
                   "autostart": os.path.join(prefix, "etc", "xdg", "autostart", APP_ID + ".desktop")}
        for kind, path in entries.items():
            check = subprocess.run(["desktop-file-validate", path], capture_output=True,
                                   text=True, timeout=30)
            self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ""), kind)
            # GLib loads an entry only when it finds the program Exec names.
            info = Gio.DesktopAppInfo.new_from_filename(path)
            self.assertEqual(GLib.shell_parse_argv(info.get_commandline())[1],
                             [program] + ["--background"] * (kind == "autostart"), kind)
            self.assertEqual(info.get_icon().to_string(), APP_ID, kind)
        self.assertFalse(Gio.DesktopAppInfo.new_from_filename(entries["menu"]).get_nodisplay())
