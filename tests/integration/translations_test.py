"""The catalogues against the sources, and nuvctl in German from the build tree
with the same JSON as in English. (InstallTest validates the installed desktop
entries and metainfo.)"""

import os
import re
import tempfile
import unittest

import nuvtest  # noqa: I100 (selects the GI versions first)
from nuvtest import BUILD_DIR, NUVCTL, SessionBus, StandIn, run

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
MARKED = re.compile(r'(?<!\w)(?:N?C?_|n?gettext)\(\s*"|\bg_dngettext\(')


def listed(name):
    lines = nuvtest.read(os.path.join(TOP, "po", name)).splitlines()
    return [l.strip() for l in lines if l.strip() and not l.startswith("#")]


class TranslationsTest(unittest.TestCase):
    def test_catalogues_complete_and_every_marked_source_in_potfiles(self):
        # Merged with the template of today's sources: a text marked since is untranslated.
        for lang in listed("LINGUAS"):
            merged = run(["msgmerge", "-q", "-o", "-", "%s/po/%s.po" % (TOP, lang),
                          BUILD_DIR + "/po/nuvmodule.pot"], check=True).stdout
            done = run(["msgfmt", "--check", "--statistics", "-o", "/dev/null", "-"], input=merged)
            self.assertRegex(done.stderr, r"^\d+ translated messages\.\n$" if lang == "de" else "")
            self.assertEqual(done.returncode, 0, done.stderr)
        # (A file POTFILES names that does not exist fails the build's xgettext.)
        marked = {os.path.relpath(os.path.join(d, f), TOP) for top in ("src", "tools")
                  for d, _, files in os.walk(os.path.join(TOP, top)) for f in files
                  if f.endswith((".cpp", ".h")) and MARKED.search(nuvtest.read(os.path.join(d, f)))}
        self.assertEqual(sorted(marked - set(listed("POTFILES"))), [])

    def test_nuvctl_in_german_and_english_with_the_same_json(self):
        bus, locales = SessionBus(), tempfile.TemporaryDirectory()
        self.addCleanup(bus.close)
        self.addCleanup(locales.cleanup)
        # A German locale of the test's own: with its decimal comma, LANGUAGE unneeded.
        run(["localedef", "-i", "de_DE", "-f", "UTF-8", locales.name + "/de_DE.UTF-8"], check=True)
        base = bus.env(dict(os.environ, NUV_LOCALEDIR=BUILD_DIR + "/locale", LANGUAGE="de"))
        envs = {"de": dict(base, LOCPATH=locales.name, LC_ALL="de_DE.UTF-8", LANGUAGE=""),
                "LANGUAGE": dict(base, LC_ALL="C.UTF-8"), "C": dict(base, LC_ALL="C")}  # C ignores it
        for name, env in envs.items():
            helps, status = run([NUVCTL, "--help"], env), run([NUVCTL, "status"], env)
            self.assertIn(("\nCommands:\n  status    show the devices the module reports now\n"
                           if name == "C" else
                           "\nBefehle:\n  status    die Geräte anzeigen, die das Modul jetzt meldet\n"),
                          helps.stdout, name)
            self.assertEqual((status.returncode, status.stderr), (1, "nuvctl status: %s\n" % (
                "no module is running" if name == "C" else "es läuft kein Modul")), name)
        self.addCleanup(StandIn(bus, {"abc": {"Bonjour": "abc", "name": "Zoë", "timestamp": 1},
                                      "def": {"Bonjour": "def", "Battery": "87.5"}}).close)
        lines = {re.sub(r'"received":"[^"]*"', "", run([NUVCTL, "status", "--json"], envs[name],
                                                        check=True).stdout) for name in ("de", "C")}
        self.assertEqual(len(lines), 1, lines)  # byte for byte but for the time of the read
