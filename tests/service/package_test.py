#!/usr/bin/python3
"""The Debian package: built with cpack, unpacked into a scratch root, its
maintainer scripts run against that root."""
import glob
import grp
import os
import pwd
import re
import shutil
import sqlite3
import stat
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import private_etc  # noqa: E402

BUILD = os.environ.get("BRENVIK_BUILD_DIR", "")
PRIVATE_ETC = False  # the maintainer scripts make users: only in a private /etc
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
        if not PRIVATE_ETC:
            self.skipTest("the maintainer scripts make a system user: needs root and a private /etc")
        return run("sh", os.path.join(self.control, name), *args, env=self.env)

    def assert_owned(self, path, user, group, mode=None):
        """Owner and group names (and mode) of path, links not followed."""
        st = os.lstat(self.in_root(path))
        owner = (pwd.getpwuid(st.st_uid).pw_name, grp.getgrgid(st.st_gid).gr_name)
        self.assertEqual(owner, (user, group), path)
        if mode is not None:
            self.assertEqual(stat.S_IMODE(st.st_mode), mode, path)

    def installed_unit(self, work_dir):
        """What the package's program writes with -install for work_dir, with
        the scratch root taken out of its paths."""
        sysroot = os.path.join(self.folder, "install-root")
        os.makedirs(os.path.join(sysroot, "etc", "brenvik"))
        self.addCleanup(shutil.rmtree, sysroot, True)
        with open(os.path.join(sysroot, "etc", "brenvik", "registry.reg"), "w") as reg:
            reg.write('REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Vikmar]\n"WorkDir"="%s"\n' % work_dir)
        run(self.in_root(PREFIX + "/brenvik"), "-install", env=dict(self.env, BRENVIK_SYSROOT=sysroot))
        with open(os.path.join(sysroot, "etc/systemd/system/brenvik.service")) as unit:
            return unit.read().replace(os.path.realpath(self.root), "")

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
        self.assertIn("adduser", field("Depends"))
        # The shipped unit is the one -install writes for the first WorkDir.
        with open(self.in_root("/lib/systemd/system/brenvik.service")) as unit:
            shipped = unit.read()
        self.assertEqual(shipped, self.installed_unit(DATA))
        self.assertIn("\nUser=brenvik\n", shipped)
        self.assertIn("\nReadWritePaths=-%s\n" % DATA, shipped)
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
        account = pwd.getpwnam("brenvik")
        self.assertLess(account.pw_uid, 1000)  # a system user without login
        self.assertEqual(account.pw_shell, "/usr/sbin/nologin")
        self.assertEqual(grp.getgrgid(account.pw_gid).gr_name, "brenvik")
        self.assert_owned(DATA, "brenvik", "brenvik", 0o750)
        self.assert_owned(DATA + "/spam.mdb", "brenvik", "brenvik", 0o640)
        self.assert_owned(DATA + "/brenvik", "root", "root")  # the link the tool runs as root
        self.assert_owned("/etc/brenvik/registry.reg", "root", "brenvik", 0o640)
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

    def test_2_upgrade_from_a_root_run_installation_takes_it_over_once(self):
        """Files of an earlier package running the gateway as root, and the unit
        its -install wrote (enabled): ownership, modes and unit are taken over."""
        for path in ("/etc/brenvik", DATA + "/maillog", "/etc/systemd/system/multi-user.target.wants"):
            os.makedirs(self.in_root(path), exist_ok=True)
        registry, unit = self.in_root("/etc/brenvik/registry.reg"), self.in_root("/etc/systemd/system/brenvik.service")
        with open(registry, "w") as reg:
            reg.write('REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Vikmar]\n"WorkDir"="%s"\n' % DATA)
        shutil.copyfile(self.in_root(PREFIX + "/share/brenvik/spam.mdb"), self.in_root(DATA + "/spam.mdb"))
        transcript = DATA + "/maillog/maillog 3600.txt"
        for path, mode in (("/etc/brenvik/registry.reg", 0o644), (DATA, 0o755), (DATA + "/spam.mdb", 0o644),
                           (transcript, 0o644)):
            if not os.path.exists(self.in_root(path)):
                open(self.in_root(path), "w").close()
            os.chown(self.in_root(path), 0, 0)
            os.chmod(self.in_root(path), mode)
        with open(unit, "w") as old:
            old.write('# Written by "brenvik -install", removed by "brenvik -uninstall".\n[Service]\n'
                      'Type=notify\nExecStart=%s/brenvik\n' % PREFIX)
        link = self.in_root("/etc/systemd/system/multi-user.target.wants/brenvik.service")
        if not os.path.lexists(link):
            os.symlink("/etc/systemd/system/brenvik.service", link)
        self.addCleanup(lambda: os.path.exists(unit) and os.remove(unit))

        self.script("postinst", "configure", "1.0.0.0")
        for path in (DATA, DATA + "/spam.mdb", DATA + "/maillog", transcript):
            self.assert_owned(path, "brenvik", "brenvik")
        self.assert_owned("/etc/brenvik/registry.reg", "root", "brenvik", 0o640)
        with open(unit) as new:  # written by the scratch root's program
            self.assertEqual(new.read().replace(os.path.realpath(self.root), ""), self.installed_unit(DATA))
        self.assertTrue(os.path.lexists(link))  # still enabled

        # Once: what the administrator changes afterwards stays changed.
        os.chown(self.in_root(transcript), 0, 0)
        os.chmod(registry, 0o644)
        self.script("postinst", "configure", "1.0.0.1")
        self.assert_owned(transcript, "root", "root")
        self.assert_owned("/etc/brenvik/registry.reg", "root", "brenvik", 0o644)

    def test_3_removal_uninstalls_the_service_upgrade_keeps_it(self):
        program = self.in_root(PREFIX + "/brenvik")
        unit = self.in_root("/etc/systemd/system/brenvik.service")
        run(program, "-install", env=dict(self.env, BRENVIK_SYSROOT=self.root))
        self.assertTrue(os.path.exists(unit))
        self.script("prerm", "upgrade", "1.0.0.2")
        self.assertTrue(os.path.exists(unit))
        self.script("prerm", "remove")
        self.assertFalse(os.path.exists(unit))

    def test_4_purge_removes_settings_and_user_keeps_data(self):
        self.script("postinst", "configure", "")
        self.script("postrm", "remove")
        self.assertEqual(pwd.getpwnam("brenvik").pw_name, "brenvik")  # kept on remove
        self.script("postrm", "purge")
        self.assertFalse(os.path.exists(self.in_root("/etc/brenvik/registry.reg")))
        self.assertTrue(os.path.exists(self.in_root(DATA + "/spam.mdb")))
        self.assertFalse(os.path.lexists(self.in_root(DATA + "/brenvik")))
        self.assertRaises(KeyError, pwd.getpwnam, "brenvik")
        self.assertRaises(KeyError, grp.getgrnam, "brenvik")
        self.assert_owned(DATA + "/spam.mdb", "root", "root")  # no file of a vanished user


if __name__ == "__main__":
    if not BUILD:
        sys.exit("BRENVIK_BUILD_DIR must name the build folder")
    PREFIX, DATA = packaging_prefix(), data_folder()
    PRIVATE_ETC = private_etc.enter()
    unittest.main()
