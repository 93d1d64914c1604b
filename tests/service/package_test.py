#!/usr/bin/python3
"""The Debian package: built with cpack, unpacked into a scratch root, its
maintainer scripts run against that root."""
import glob
import os
import re
import shutil
import sqlite3
import stat
import subprocess
import sys
import tempfile
import unittest

BUILD = os.environ.get("BRENVIK_BUILD_DIR", "")
WITH_TOOL = os.environ.get("BRENVIK_WITH_TOOL", "0") == "1"
TABLES = {"SpamSystem", "Liste", "LogTable", "Statistik"}


def packaging_prefix():
    """The installation folder the package was configured for."""
    with open(os.path.join(BUILD, "CPackConfig.cmake")) as config:
        return re.search(r'set\(CPACK_PACKAGING_INSTALL_PREFIX "([^"]*)"', config.read()).group(1)


def data_folder():
    """The data folder (first WorkDir) the package was configured for."""
    with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
        return re.search(r"^BRENVIK_DATA_FOLDER:PATH=(.*)$", cache.read(), re.M).group(1)


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kwargs)


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="brenvik-package-")
        run("cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
            "-B", os.path.join(cls.folder, "out"))
        [cls.deb] = glob.glob(os.path.join(cls.folder, "out", "*.deb"))
        cls.root = os.path.join(cls.folder, "root")
        cls.control = os.path.join(cls.folder, "control")
        run("dpkg-deb", "-x", cls.deb, cls.root)
        run("dpkg-deb", "-e", cls.deb, cls.control)
        bin_folder = os.path.join(cls.folder, "bin")  # a systemctl that does nothing
        os.makedirs(bin_folder)
        os.symlink("/bin/true", os.path.join(bin_folder, "systemctl"))
        cls.env = dict(os.environ, DPKG_ROOT=cls.root,
                       PATH=bin_folder + ":" + os.environ.get("PATH", "/usr/bin:/bin"))
        cls.env.pop("JOURNAL_STREAM", None)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def in_root(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def script(self, name, *args):
        return run("sh", os.path.join(self.control, name), *args, env=self.env)

    def test_1_control_and_files(self):
        field = lambda name: run("dpkg-deb", "-f", self.deb, name).stdout.strip()
        self.assertEqual(field("Package"), "brenvik")
        for library in ("libsqlite3-0", "libsystemd0"):
            self.assertIn(library, field("Depends"))
        program = self.in_root(PREFIX + "/brenvik")
        self.assertTrue(os.stat(program).st_mode & stat.S_IXUSR)
        for name in ("spam.mdb", "registry.reg"):
            self.assertTrue(os.path.isfile(self.in_root(PREFIX + "/share/brenvik/" + name)))
        # The working files are made by postinst, never shipped.
        self.assertFalse(os.path.exists(self.in_root(PREFIX + "/spam.mdb")))
        self.assertFalse(os.path.exists(self.in_root(DATA)))
        self.assertFalse(os.path.exists(self.in_root("/etc/brenvik")))
        with open(self.in_root("/usr/lib/tmpfiles.d/brenvik.conf")) as rule:
            self.assertIn("e %s/maillog - - - 30d" % DATA, rule.read().splitlines())
        for page in ("brenvik.8.gz", "brenvikcfg.8.gz"):
            rendered = run("man", "-l", self.in_root("/usr/share/man/man8/" + page),
                           env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING="")).stdout
            self.assertIn("NAME", rendered)
        self.assertTrue(os.path.isfile(self.in_root("/usr/share/doc/brenvik/copyright")))
        if WITH_TOOL:
            self.assertTrue(os.path.isfile(self.in_root(PREFIX + "/brenvikcfg")))
            for desktop in (PREFIX + "/share/applications/brenvikcfg.desktop",
                            "/usr/share/applications/brenvikcfg.desktop"):
                with open(self.in_root(desktop)) as entry:
                    lines = entry.read().splitlines()
                self.assertIn("Path=" + DATA, lines)
                self.assertIn("Exec=" + PREFIX + "/brenvikcfg", lines)

    def test_1_lintian_finds_nothing_to_mend(self):
        if not shutil.which("lintian"):
            self.skipTest("lintian is not installed")
        found = subprocess.run(["lintian", "--no-tag-display-limit", self.deb], capture_output=True,
                               text=True).stdout.splitlines()
        # Programs below /opt are the add-on layout, flagged by design.
        findings = [f for f in found if f[:2] in ("E:", "W:") and "dir-or-file-in-opt" not in f]
        self.assertEqual(findings, [])

    def test_2_first_install_then_upgrade_keeps_files(self):
        database = self.in_root(DATA + "/spam.mdb")
        registry = self.in_root("/etc/brenvik/registry.reg")
        self.script("postinst", "configure", "")
        with sqlite3.connect(database) as db:
            names = {row[0] for row in db.execute("SELECT name FROM sqlite_master WHERE type='table'")}
            self.assertEqual(names, TABLES)
            db.execute("INSERT INTO SpamSystem (what, Typ) VALUES ('@example.com', 1)")
        db.close()
        self.assertEqual(stat.S_IMODE(os.stat(database).st_mode), 0o640)
        with open(registry) as reg:
            text = reg.read()
        for value in ('"RecvPort"="25"', '"RecvHost"="127.0.0.1"', '"SendPort"="26"',
                      '"WorkDir"="%s"' % DATA, '"GarbageCollector"="1"'):
            self.assertIn(value, text)
        edited = text + '"StatusMail"="admin@example.com"\n'
        with open(registry, "w") as reg:
            reg.write(edited)

        # The tool's install buttons find the service program in the data folder.
        self.assertEqual(os.readlink(self.in_root(DATA + "/brenvik")), PREFIX + "/brenvik")

        self.script("postinst", "configure", "1.0.0.0")
        with open(registry) as reg:
            self.assertEqual(reg.read(), edited)
        with sqlite3.connect(database) as db:
            self.assertEqual(db.execute("SELECT what FROM SpamSystem").fetchall(), [("@example.com",)])
        db.close()

    def test_2_upgrade_from_the_single_folder_layout_keeps_workdir_and_data(self):
        shutil.rmtree(self.in_root(DATA), ignore_errors=True)
        os.makedirs(self.in_root("/etc/brenvik"), exist_ok=True)
        registry = self.in_root("/etc/brenvik/registry.reg")
        old = ('REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Vikmar]\n"WorkDir"="%s"\n' % PREFIX)
        with open(registry, "w") as reg:
            reg.write(old)
        database = self.in_root(PREFIX + "/spam.mdb")
        shutil.copyfile(self.in_root(PREFIX + "/share/brenvik/spam.mdb"), database)
        self.addCleanup(os.remove, database)
        self.addCleanup(os.remove, registry)
        self.addCleanup(lambda: os.path.islink(self.in_root(DATA)) and os.remove(self.in_root(DATA)))
        self.script("postinst", "configure", "1.0.0.0")
        with open(registry) as reg:
            self.assertEqual(reg.read(), old)
        # The desktop entry's folder leads to the data where it is.
        self.assertEqual(os.readlink(self.in_root(DATA)), PREFIX)

    def test_3_removal_uninstalls_the_service_upgrade_keeps_it(self):
        program = self.in_root(PREFIX + "/brenvik")
        unit = self.in_root("/etc/systemd/system/brenvik.service")
        run(program, "-install", env=dict(self.env, BRENVIK_SYSROOT=self.root))
        self.assertTrue(os.path.exists(unit))
        self.script("prerm", "upgrade", "1.0.0.2")
        self.assertTrue(os.path.exists(unit))
        self.script("prerm", "remove")
        self.assertFalse(os.path.exists(unit))

    def test_4_purge_removes_settings_keeps_data(self):
        self.script("postinst", "configure", "")
        self.script("postrm", "purge")
        self.assertFalse(os.path.exists(self.in_root("/etc/brenvik/registry.reg")))
        self.assertTrue(os.path.exists(self.in_root(DATA + "/spam.mdb")))
        self.assertFalse(os.path.lexists(self.in_root(DATA + "/brenvik")))


if __name__ == "__main__":
    if not BUILD:
        sys.exit("BRENVIK_BUILD_DIR must name the build folder")
    PREFIX, DATA = packaging_prefix(), data_folder()
    unittest.main()
