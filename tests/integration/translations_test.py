"""The catalogues against the sources, and nuvctl and nuv-bridge in German from
the build tree, with the same JSON as in English. (InstallTest validates the installed desktop
entries and metainfo.)"""

import os
import re
import tempfile
import unittest

import nuvtest  # noqa: I100 (selects the GI versions first)
from nuvtest import BRIDGE, BUILD_DIR, NUVCTL, SessionBus, StandIn, run

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

    def test_nuvctl_and_the_bridge_in_german_and_english_with_the_same_json(self):
        bus, locales = SessionBus(), tempfile.TemporaryDirectory()
        self.addCleanup(bus.close)
        self.addCleanup(locales.cleanup)
        # A German locale of the test's own: with its digit grouping, LANGUAGE unneeded.
        run(["localedef", "-i", "de_DE", "-f", "UTF-8", locales.name + "/de_DE.UTF-8"], check=True)
        base = bus.env(dict(os.environ, NUV_LOCALEDIR=BUILD_DIR + "/locale", LANGUAGE="de",
                            XDG_CONFIG_HOME=locales.name))
        envs = {"de": dict(base, LOCPATH=locales.name, LC_ALL="de_DE.UTF-8", LANGUAGE=""),
                "LANGUAGE": dict(base, LC_ALL="C.UTF-8"), "C": dict(base, LC_ALL="C")}  # C ignores it
        usage = "nuvctl: %s\n%s\n"
        # (program and arguments, exit status, stream, its text (or a part) in English, in German)
        cases = [
            ([NUVCTL, "--help"], 0, "stdout", "\nCommands:\n  status    show the devices the "
             "module reports now\n", "\nBefehle:\n  status    die Geräte anzeigen, die das "
             "Modul jetzt meldet\n"),
            ([NUVCTL, "status", "--help"], 0, "stdout", "One JSON object instead, the shape of a "
             "'nuvctl watch --json' line\n", "Stattdessen ein JSON-Objekt in der Form einer "
             "Zeile von „nuvctl watch --json“\n"),
            ([NUVCTL, "status"], 1, "stderr", "nuvctl status: no module is running\n",
             "nuvctl status: es läuft kein Modul\n"),
            ([NUVCTL, "frobnicate"], 2, "stderr",
             usage % ("unknown command 'frobnicate'", "Try 'nuvctl --help' for more information."),
             usage % ("unbekannter Befehl „frobnicate“",
                      "„nuvctl --help“ liefert weitere Informationen."))]
        if os.path.exists(BRIDGE):  # (NUV_BUILD_BRIDGE)
            conf = locales.name + "/nuv-bridge/bridge.conf"
            cases.append(([BRIDGE], 2, "stderr", "nuv-bridge: nothing to do: give --listen, "
                          "--textfile or --mqtt, or set them in %s\n" % conf, "nuv-bridge: nichts "
                          "zu tun: Geben Sie --listen, --textfile oder --mqtt an, oder legen Sie "
                          "sie in %s fest\n" % conf))
        for name, env in envs.items():
            for argv, status, stream, english, german in cases:
                done = run(argv, env)
                with self.subTest(name, argv=argv[1:]):
                    self.assertEqual(done.returncode, status, done.stderr)
                    text = getattr(done, stream)
                    self.assertEqual(text, english if name == "C" else german) if stream == "stderr" \
                        else self.assertIn(english if name == "C" else german, text)
        self.addCleanup(StandIn(bus, {
            "abc": {"Bonjour": "abc", "name": "Zoë", "Battery": "40", "Charging": "1",
                    "Host Attached": "1", "ChargingWatts": "12", "ChargerWatts": "20",
                    "BatteryTemperature": "31", "BatteryCycleCount": "1412",
                    "BatteryMaxCapacity": "87", "timestamp": 1},
            "def": {"Bonjour": "def", "Battery": "87.5", "Host Attached": "0"}}).close)
        lines = {re.sub(r'"received":"[^"]*"', "", run([NUVCTL, "status", "--json"], envs[name],
                                                        check=True).stdout) for name in ("de", "C")}
        self.assertEqual(len(lines), 1, lines)  # byte for byte but for the time of the read
        # The table, lined up to its headings, its numbers as each locale writes them.
        tables = {"C": """NUVModule devices: 2 reported, updated 0s ago

NAME                      BATTERY            CHARGING  ATTACHED  CHANGED
Zoë                       [####      ]  40%  yes       yes       AGE ago
                          battery now: Charging at 12 W · 20 W charger · 31 °C
                          battery health: 1412 cycles, 87% of design capacity
def                       -                  -         no        -
""", "de": """NUVModule-Geräte: 2 gemeldet, aktualisiert vor 0 s

NAME                      AKKU                LÄDT      ANGESCHLOSSEN  GEÄNDERT
Zoë                       [####      ]  40\u00a0%  ja        ja             vor AGE
                          Akku jetzt: Lädt mit 12 W · 20-W-Ladegerät · 31 °C
                          Akkuzustand: 1.412 Ladezyklen, 87\u00a0% der Nennkapazität
def                       -                   -         nein           -
"""}
        for name, table in tables.items():
            shown = run([NUVCTL, "status"], envs[name], check=True).stdout
            self.assertEqual(re.sub(r"[\d.]+(d| Tg\.) \d\d(h| Std\.)", "AGE", shown), table)
