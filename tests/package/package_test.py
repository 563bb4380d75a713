"""The Debian packages as a user gets them.

SourceTest checks the packaging sources (fast; also run by ctest).
InstalledPackagesTest installs the packages that ./scripts/package left in
build-deb/ on this machine (root only), uses them, upgrades them and purges
them again: it changes the machine's package state and is run by
`./scripts/test --full` only.
"""

import glob
import json
import os
import re
import shutil
import sys
import tempfile
import types
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
import nuvtest  # noqa: E402
from xdesktop import SCREEN_H, Desktop  # noqa: E402

DEBS = os.path.join(ROOT, "build-deb")
UNIT = "nuvmodule.service"
BRIDGE_UNIT = "nuv-bridge.service"
MULTIARCH = nuvtest.run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"]).stdout.strip()
INSTALLED_BUNDLE = "/usr/lib/%s/NUVModule.app" % MULTIARCH


def run(*argv, check=True, **kwargs):
    return nuvtest.run(argv, timeout=600, check=check, **kwargs)


def deps_sh(expression):
    """Evaluates a bash expression after sourcing scripts/deps.sh."""
    return run("bash", "-c", 'source scripts/deps.sh; ' + expression, cwd=ROOT,
               env=dict(os.environ, NUV_ROOT=ROOT)).stdout.split()


class SourceTest(unittest.TestCase):
    def test_changelog_version_is_the_project_version(self):
        with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
            project = re.search(r"project\(\S+ VERSION (\S+)", f.read()).group(1)
        changelog = run("dpkg-parsechangelog", "-l", os.path.join(ROOT, "debian", "changelog"),
                        "-S", "Version").stdout.strip()
        self.assertEqual(changelog, project)

    def test_build_depends_and_deps_sh_agree(self):
        build_depends = set(deps_sh("nuv_build_depends"))
        # What the build needs, minus what Debian's build tools imply
        # (build-essential) and what only the window needs at run time (the
        # icons come with GTK's own dependencies).
        build = set(deps_sh('echo "${NUV_BUILD_PACKAGES[@]}"')) - {"build-essential",
                                                                  "adwaita-icon-theme"}
        everything = set(deps_sh('echo "${NUV_BUILD_PACKAGES[@]} ${NUV_TEST_PACKAGES[@]} '
                                 '${NUV_PACKAGE_PACKAGES[@]} ${NUV_PACKAGE_TEST_PACKAGES[@]}"'))
        self.assertEqual(build - build_depends, set(), "built by scripts/run but not packaged")
        self.assertEqual(build_depends - everything, set(), "not installed by scripts/deps.sh")


def packages_in(folder):
    return {run("dpkg-deb", "-f", deb, "Package").stdout.strip(): deb
            for deb in sorted(glob.glob(os.path.join(folder, "*.deb")))}


def is_enabled(unit=UNIT):
    return run("systemctl", "--global", "is-enabled", unit, check=False).stdout.strip()


@unittest.skipUnless(os.geteuid() == 0, "installs packages on this machine: root only")
class InstalledPackagesTest(unittest.TestCase):
    def setUp(self):
        self.debs = packages_in(DEBS)
        if not self.debs:
            self.fail("no packages in build-deb/: run ./scripts/package first")
        self.tmp = tempfile.mkdtemp(prefix="nuv-package-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.purge()
        self.addCleanup(self.purge)

    def purge(self):
        installed = [p for p in self.debs
                     if "ok installed" in run("dpkg-query", "-W", "-f=${Status}", p,
                                              check=False).stdout]
        if installed:
            run("apt-get", "purge", "-y", "-q", *installed)

    def apt_install(self, debs):
        run("apt-get", "install", "-y", "-q", "--no-install-recommends", *debs,
            env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))

    def test_install_use_upgrade_and_purge(self):
        self.apt_install(self.debs.values())
        files = {p: run("dpkg", "-L", p).stdout.splitlines() for p in self.debs}

        self.assertEqual(is_enabled(), "enabled")
        self.assertEqual(is_enabled(BRIDGE_UNIT), "disabled")  # it needs settings first
        runtime = tempfile.mkdtemp(dir=self.tmp)  # a user manager's, for the verifier
        run("systemd-analyze", "--user", "verify", *("/usr/lib/systemd/user/" + u
                                                    for u in (UNIT, BRIDGE_UNIT)),
            env=dict(os.environ, XDG_RUNTIME_DIR=runtime))
        self.check_module_answers_nuvctl()
        self.check_example_against_the_dev_package()

        # Upgrade: the same packages one version on, installed over these.
        newer = self.repack_with_version_suffix("+1")
        self.apt_install(newer.values())
        for package in self.debs:
            self.assertTrue(run("dpkg-query", "-W", "-f=${Version}", package).stdout.endswith("+1"))
        self.assertEqual(is_enabled(), "enabled")
        self.check_module_answers_nuvctl()

        self.purge()
        left = [path for paths in files.values() for path in paths
                if os.path.lexists(path) and not os.path.isdir(path)]
        self.assertEqual(left, [])
        # Folders that stay must belong to another package (/usr, /usr/bin, ...).
        folders = sorted({path for paths in files.values() for path in paths
                          if path != "/." and os.path.isdir(path) and not os.path.islink(path)})
        owners = run("dpkg-query", "-S", *folders, check=False).stdout  # "pkg, pkg: path"
        owned = {line.split(": ", 1)[1] for line in owners.splitlines() if ": " in line}
        self.assertEqual([f for f in folders if f not in owned], [])
        self.assertNotEqual(is_enabled(), "enabled")

    def check_module_answers_nuvctl(self):
        bus = nuvtest.SessionBus()
        self.addCleanup(bus.close)
        home = tempfile.mkdtemp(dir=self.tmp)
        installed = types.SimpleNamespace(executable=INSTALLED_BUNDLE + "/NUVModule")
        module = nuvtest.Module(installed, bus, home, {
            "HOME": home, "XDG_STATE_HOME": os.path.join(home, "state")})
        try:
            status = lambda: run("/usr/bin/nuvctl", "status", "--json", check=False, env=module.env)
            out = nuvtest.wait_until(lambda: (s := status()).returncode == 0 and s, 20, 0.2)
            self.assertTrue(out, module.log())
            self.assertEqual(json.loads(out.stdout)["devices"], {})  # no iPhone here
            bridge = nuvtest.BridgeProcess(bus, home, "--listen", "127.0.0.1:0",
                                           program="/usr/bin/nuv-bridge")
            try:
                url = bridge.metrics_url()
                self.assertTrue(nuvtest.wait_until(
                    lambda: "\nnuv_module_up 1\n" in nuvtest.http_get(url)[2], 10), bridge.log())
            finally:
                self.assertEqual(bridge.stop(), 0, bridge.log())
        finally:
            self.assertEqual(module.stop(), 0, module.log())

    def check_example_against_the_dev_package(self):
        run(os.path.join(HERE, "check_headers.sh"), "/usr/include")
        example = os.path.join(self.tmp, "example")
        shutil.copytree(os.path.join(ROOT, "examples", "nuvdesktop-host"), example)
        run("make", "-C", example)
        host = os.path.join(example, "nuvdesktop-host")
        desktop = Desktop()
        self.addCleanup(desktop.stop)
        desktop.start()
        green, pid = desktop.window("Green Window", "#00ff00", 100, 100, 300, 300)
        red, _ = desktop.window("Red Window", "#ff0000", 150, 150, 200, 200)
        # Below the red window: the green one; green on the bare (black) screen.
        self.assertEqual(run(host, "color", 250, SCREEN_H - 250, red, env=desktop.env).stdout,
                         "below 00ff00 contrast 000000\n")
        self.assertEqual(run(host, "color", 250, SCREEN_H - 250, green, env=desktop.env).stdout,
                         "below 000000 contrast ffffff\n")
        for enabled, answer in ((False, "no"), (True, "yes")):
            desktop.set_status("IsEnabled", enabled)
            self.assertEqual(run(host, "trust", env=desktop.env).stdout,
                             "accessibility trusted: %s\n" % answer)
        windows = run(host, "windows", pid, env=desktop.env).stdout
        self.assertIn("Green Window\t100,100\t300x300\tpid %d\n" % pid, windows)

    def repack_with_version_suffix(self, suffix):
        """Copies of the packages whose version (and the exact versions they
        depend on) carry `suffix`."""
        folder = os.path.join(self.tmp, "newer")
        os.makedirs(folder)
        for package, deb in self.debs.items():
            tree = os.path.join(self.tmp, "tree-" + package)
            run("dpkg-deb", "-R", deb, tree)
            control = os.path.join(tree, "DEBIAN", "control")
            text = nuvtest.read(control)
            version = re.search(r"^Version: (\S+)$", text, re.M).group(1)
            text = text.replace("Version: " + version, "Version: " + version + suffix)
            text = text.replace("(= %s)" % version, "(= %s%s)" % (version, suffix))
            nuvtest.write_whole(control, text)
            run("dpkg-deb", "-b", tree, os.path.join(folder, package + ".deb"))
        return packages_in(folder)


if __name__ == "__main__":
    unittest.main()
