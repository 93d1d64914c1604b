"""The real brenvikcfg under Xvfb, driven as a person drives it: xdotool's
mouse clicks at the controls' positions on the screen and key presses,
nothing focused by code. After each action the registry file and spam.mdb
are read back; the gateway is started on what the tool saved. Every wait is
a bounded poll."""
import os
import pwd
import shutil
import smtplib
import sqlite3
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import brenvik_e2e as e2e  # noqa: E402

BRENVIKCFG = os.environ.get("BRENVIKCFG", "")
UI_TIMEOUT = 20.0  # seconds for the form, a message box or a database row to appear

# Layout in twips (x, y, width, height) of the controls the tests touch; at
# 96 DPI 15 twips are one pixel.
TWIPS = {
    "RecvHostInput": (2400, 675, 1965, 285), "RecvPortEdit": (7005, 675, 570, 285),
    "SendHostEdit": (2400, 1350, 3075, 285), "SendPortEdit": (7005, 1350, 570, 285),
    "DomainEdit": (360, 4200, 2235, 360), "RelayIpInput": (2850, 4200, 2235, 315),
    "DomainList": (360, 2205, 2235, 1515), "DomainRemoveButton": (360, 4590, 990, 315),
    "DomainAddButton": (1650, 4590, 930, 315), "RelayAddButton": (4155, 4590, 930, 315),
    "SaveButton": (6240, 6210, 1530, 480), "InstallButton": (240, 6210, 1440, 480),
    "UninstallButton": (1800, 6210, 1440, 480), "RestartCheck": (240, 5595, 3240, 240),
    "WhitelistEdit": (5370, 4200, 2310, 360), "WhitelistAddButton": (6630, 4605, 1050, 315),
    "StatusMailEdit": (1800, 5175, 5880, 285),
}
FORM_SIZE = (536, 480)
LSAN_SUPPRESSIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lsan.supp")


def setUpModule():
    global DISPLAY, _xvfb
    if not BRENVIKCFG or not shutil.which("Xvfb") or not shutil.which("xdotool"):
        raise unittest.SkipTest("needs brenvikcfg, Xvfb and xdotool")
    e2e.require_binary()
    # -displayfd: the server picks a free display and writes its number;
    # -noreset: no reset (refusing connections) whenever the last client ends.
    read_end, write_end = os.pipe()
    _xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                              "-dpi", "96", "-nolisten", "tcp", "-ac", "-noreset"], pass_fds=(write_end,),
                             stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        DISPLAY = ":" + f.readline().strip()


def tearDownModule():
    _xvfb.terminate()
    _xvfb.wait()


def xdo(*args):
    return subprocess.run(["xdotool", *map(str, args)], env=dict(os.environ, DISPLAY=DISPLAY),
                          capture_output=True, text=True, check=False).stdout.split()


def registry(root):
    """The tool's settings as name -> text, read from the file itself."""
    path = os.path.join(root, "etc", "brenvik", "registry.reg")
    values = {}
    if os.path.exists(path):
        for line in open(path, encoding="latin-1"):
            if line.startswith('"') and '"="' in line:
                name, value = line.strip()[1:-1].split('"="', 1)
                values[name] = value.replace('\\"', '"').replace("\\\\", "\\")
    return values


def rows(path, sql):
    db = sqlite3.connect(path, timeout=10)
    try:
        with db:
            return db.execute(sql).fetchall()
    finally:
        db.close()


class Machine:
    """A machine root with a registry file, a working folder holding a fresh
    spam.mdb, a systemctl on PATH that only notes its calls, and the tool."""

    def __init__(self, settings=None, domains=("@example.com",), work=True):
        self.base = tempfile.mkdtemp(prefix="brenvikcfg-x-")
        self.root, self.work = os.path.join(self.base, "root"), os.path.join(self.base, "work")
        os.makedirs(self.root)
        os.makedirs(self.work)
        if settings is not None:
            e2e.write_registry(self.root, settings)
        if work:
            shutil.copyfile(e2e.template_database(), self.db)
            for domain in domains:
                rows(self.db, "INSERT INTO SpamSystem (what, Typ) VALUES ('%s', 1)" % domain)
        os.makedirs(os.path.join(self.base, "bin"))
        self.journal = os.path.join(self.base, "journal")
        e2e_script = '#!/bin/sh\necho "systemctl $*" >> %s\n' % self.journal
        with open(os.path.join(self.base, "bin", "systemctl"), "w") as f:
            f.write(e2e_script)
        os.chmod(os.path.join(self.base, "bin", "systemctl"), 0o755)
        self.tool = None

    @property
    def db(self):
        return os.path.join(self.work, "spam.mdb")

    def settings(self):
        return registry(self.root)

    def start(self, cwd=None, user=None, remove_cwd=False, opening=None):
        """Starts the tool in cwd (default the working folder) and waits for
        its form; remove_cwd removes that folder just before the tool starts;
        opening: the start of a message shown before the form."""
        runtime = os.path.join(self.base, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env = dict(os.environ, DISPLAY=DISPLAY, QT_QPA_PLATFORM="xcb", BRENVIK_SYSROOT=self.root,
                   XDG_RUNTIME_DIR=runtime, PATH=os.path.join(self.base, "bin") + ":" + os.environ["PATH"])
        # Sanitizer builds: the X11 side of Qt keeps some allocations until exit.
        env["LSAN_OPTIONS"] = ":".join(filter(None, ["suppressions=" + LSAN_SUPPRESSIONS,
                                                     os.environ.get("LSAN_OPTIONS")]))
        command = [BRENVIKCFG]
        if user:
            os.chown(runtime, user.pw_uid, user.pw_gid)
            command = ["setpriv", "--reuid=%d" % user.pw_uid, "--regid=%d" % user.pw_gid,
                       "--clear-groups"] + command
        if remove_cwd:
            command = ["sh", "-c", 'cd "$0" && rmdir "$0" && exec "$@"', cwd] + command
        self.stderr_path = os.path.join(self.base, "tool.err")
        with open(self.stderr_path, "wb") as err:
            self.tool = subprocess.Popen(command, cwd=self.base if remove_cwd else (cwd or self.work),
                                         env=env, stdin=subprocess.DEVNULL, stdout=err, stderr=err)
        self.form = None
        if opening:
            self.message(opening)
        self.form = e2e.wait_until(self._form_window, UI_TIMEOUT)
        if not self.form:
            raise AssertionError("no form; output: " + self.said())
        self.origin = self._geometry(self.form)[:2]

    def _windows(self):
        return [w for w in xdo("search", "--onlyvisible", "--pid", self.tool.pid, "--name", "^Brenvik$")]

    def _geometry(self, window):
        shell = dict(l.split("=") for l in xdo("getwindowgeometry", "--shell", window))
        return int(shell["X"]), int(shell["Y"]), int(shell["WIDTH"]), int(shell["HEIGHT"])

    def _form_window(self):
        for w in self._windows():
            if self._geometry(w)[2:] == FORM_SIZE:
                return w
        return None

    def said(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def point(self, control, fraction=0.5):
        """Screen point of a control: its middle, or at `fraction` of its width."""
        x, y, w, h = (round(t / 15) for t in TWIPS[control])
        return self.origin[0] + x + int(w * fraction), self.origin[1] + y + h // 2

    def click(self, control, field=None, double=False):
        """A click at a control; field 0..3 of an IP-address input is the
        middle of that quarter (the dots between are narrow)."""
        x, y = self.point(control, 0.5 if field is None else (2 * field + 1) / 8)
        xdo("mousemove", x, y)
        xdo("click", "--repeat", 2 if double else 1, "--delay", 60, 1)

    def type(self, keys):
        """Types text; "\b" is Backspace, "\t" Tab."""
        for part in keys.replace("\b", "\0BackSpace\0").replace("\t", "\0Tab\0").split("\0"):
            if part in ("BackSpace", "Tab"):
                xdo("key", part)
            elif part:
                xdo("type", "--delay", 15, part)

    def replace_text(self, control, text):
        """Selects what an edit holds as a person does (a click, Ctrl+A) and
        types over it."""
        self.click(control)
        xdo("key", "ctrl+a")
        self.type(text)

    def message(self, text):
        """Waits for the message box whose text begins with `text` and
        answers it with Enter over its OK button's window."""
        if not e2e.wait_until(lambda: "Brenvik: " + text in self.said(), UI_TIMEOUT):
            raise AssertionError("no message %r; said: %r" % (text, self.said()))
        box = e2e.wait_until(lambda: [w for w in self._windows() if w != self.form], UI_TIMEOUT)
        x, y, w, h = self._geometry(box[0])
        xdo("mousemove", x + w // 2, y + h // 2)
        xdo("key", "Return")
        e2e.wait_until(lambda: not [w for w in self._windows() if w != self.form], UI_TIMEOUT)

    def add_and_wait(self, button, sql, expected):
        self.click(button)
        got = e2e.wait_until(lambda: rows(self.db, sql) == expected and expected, UI_TIMEOUT)
        if not got:
            raise AssertionError("%s: %r, wanted %r; said %r" % (button, rows(self.db, sql), expected, self.said()))

    def save_and_end(self):
        self.click("SaveButton")
        self.tool.wait(UI_TIMEOUT)

    def cleanup(self):
        if self.tool and self.tool.poll() is None:
            self.tool.kill()
            self.tool.wait()
        shutil.rmtree(self.base, ignore_errors=True)


VALID = {"RecvPort": "2525", "RecvHost": "10.20.30.40", "SendPort": "26", "SendHost": "mail.example.com"}


class ToolUnderX(unittest.TestCase):
    def machine(self, *args, **kwargs):
        m = Machine(*args, **kwargs)
        self.addCleanup(m.cleanup)
        return m

    def test_receive_address_as_typed(self):
        """The address stored is the one typed, whatever the octets' lengths,
        a single or a double click, and a value already in the field."""
        cases = [  # stored before, field clicked, double-click, keys, stored after
            ("", 0, True, "192.168.1.10", "192.168.1.10"),
            ("", 0, False, "192.168.1.10", "192.168.1.10"),
            ("10.20.30.40", 0, False, "1.2.3.4", "1.2.3.4"),
            ("10.20.30.40", 0, True, "172.16.5.4", "172.16.5.4"),
            ("10.20.30.40", 2, False, "7", "10.20.7.40"),
            ("10.20.30.40", 1, True, "255.255.1", "10.255.255.1"),
            # Backspace: the selected "0" after the move, then back into 192.
            ("", 0, False, "192\b\b\b0.168.1.10", "190.168.1.10"),
        ]
        for before, field, double, keys, after in cases:
            with self.subTest(before=before, field=field, double=double, keys=keys):
                m = self.machine(dict(VALID, RecvHost=before))
                m.start()
                m.click("RecvHostInput", field, double)
                m.type(keys)
                m.save_and_end()
                self.assertEqual(m.settings()["RecvHost"], after, m.said())
                self.assertEqual(m.tool.returncode, 0)

    def test_relay_addresses_as_typed(self):
        """The relay input is set back to 0.0.0.0 after each add: a click into
        it selects that value, so the next address replaces it."""
        m = self.machine(VALID)
        m.start()
        expected = []
        for field, double, keys, stored in [
                (0, False, "192.168.1.10", "192.168.1.10"), (0, True, "172.16.5.4", "172.16.5.4"),
                (0, False, "10.1.2.3", "10.1.2.3"), (1, False, "99.8", "0.99.8.0"),
                (0, True, "127.0.0.3\t", "127.0.0.3"),  # Tab leaves the input as it shows
                (None, False, "", "0.0.0.0")]:  # untouched: added as designed
            if field is not None:
                m.click("RelayIpInput", field, double)
                m.type(keys)
            expected.append((stored,))
            m.add_and_wait("RelayAddButton", "SELECT what FROM SpamSystem WHERE Typ = 2 ORDER BY rowid", expected)

    def test_list_entries(self):
        """Blanks trimmed; an address refused as a domain; duplicates kept."""
        m = self.machine(VALID)
        m.start()
        domains = "SELECT what FROM SpamSystem WHERE Typ = 1 ORDER BY rowid"
        m.click("DomainEdit")
        m.type("  three.example  ")
        m.add_and_wait("DomainAddButton", domains, [("@example.com",), ("@three.example",)])
        m.click("DomainEdit")
        m.type("info@four.example")
        m.click("DomainAddButton")
        m.message("info@four.example is not a mail domain: a domain has no @ inside")
        m.replace_text("DomainEdit", "three.example")  # the input kept the address
        m.add_and_wait("DomainAddButton", domains, [("@example.com",), ("@three.example",), ("@three.example",)])
        m.click("WhitelistEdit")
        m.type("@Partner.example ")
        m.add_and_wait("WhitelistAddButton", "SELECT Email FROM Liste", [("@Partner.example",)])

    def test_hundred_and_first_domain_refused(self):
        m = self.machine(VALID, domains=["@d%d.example" % i for i in range(100)])
        m.start()
        m.click("DomainEdit")
        m.type("one-more.example")
        m.click("DomainAddButton")
        m.message("The gateway reads at most 100 entries of this list")
        self.assertEqual(rows(m.db, "SELECT COUNT(*) FROM SpamSystem WHERE Typ = 1"), [(100,)])

    def test_ports_out_of_range_refused(self):
        m = self.machine(VALID)
        m.start()
        for control, typed, message in [("RecvPortEdit", "70000", "Unknown receive port!"),
                                         ("RecvPortEdit", "2626", None),
                                         ("SendPortEdit", "65536", "Unknown send port!"),
                                         ("SendPortEdit", "65535", None)]:
            m.replace_text(control, typed)
            if message:
                m.click("SaveButton")
                m.message(message)
                self.assertEqual(m.settings()["RecvPort"], "2525")
        m.save_and_end()
        self.assertEqual((m.settings()["RecvPort"], m.settings()["SendPort"]), ("2626", "65535"))

    def test_service_buttons_say_what_happened(self):
        m = self.machine(VALID)
        m.start()
        program = os.path.join(m.work, "brenvik")
        m.click("InstallButton")
        m.message("The service was not installed.\n%s could not be started: No such file or directory" % program)
        os.symlink(e2e.BRENVIK, program)
        m.click("InstallButton")
        m.message("Service installed succesfully.")
        unit = os.path.join(m.root, "etc", "systemd", "system", "brenvik.service")
        self.assertTrue(os.path.exists(unit))
        m.click("InstallButton")  # the unit is there already: brenvik -install fails and says so
        m.message("The service was not installed.\nEin Fehler ist aufgetreten: ")
        m.click("UninstallButton")
        m.message("Service succesfully uninstalled!")
        self.assertFalse(os.path.exists(unit))
        m.click("UninstallButton")
        m.message("The service was not uninstalled.\nEin Fehler ist aufgetreten: ")

    def test_working_folder_from_workdir(self):
        """Started elsewhere, the tool works on WorkDir's spam.mdb and keeps
        WorkDir; started in a removed folder without one, it says so and
        changes nothing."""
        m = self.machine(VALID)
        e2e.write_registry(m.root, dict(VALID, WorkDir=m.work))
        elsewhere = os.path.join(m.base, "elsewhere")
        os.makedirs(elsewhere)
        m.start(cwd=elsewhere)
        m.click("DomainEdit")
        m.type("five.example")
        m.add_and_wait("DomainAddButton", "SELECT what FROM SpamSystem WHERE Typ = 1 ORDER BY rowid",
                       [("@example.com",), ("@five.example",)])
        m.save_and_end()
        self.assertEqual(m.settings()["WorkDir"], m.work)
        self.assertEqual(os.listdir(elsewhere), [])

        gone = self.machine(VALID, work=False)
        before = gone.settings()
        root_db = os.path.exists("/spam.mdb") and os.stat("/spam.mdb").st_mtime
        gone.start(cwd=gone.work, remove_cwd=True, opening="The current folder no longer exists")
        gone.click("SaveButton")
        gone.message("The current folder no longer exists")
        gone.click("DomainEdit")
        gone.type("six.example")
        gone.click("DomainAddButton")
        gone.message("The current folder no longer exists")
        self.assertEqual(gone.settings(), before)
        self.assertEqual(os.path.exists("/spam.mdb") and os.stat("/spam.mdb").st_mtime, root_db)

    def test_settings_file_it_may_not_use(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to run the tool as another user")
        nobody = pwd.getpwnam("nobody")
        for mode, opening in [(0o644, "This user may not write the settings"),
                              (0o000, "The settings cannot be read")]:
            with self.subTest(mode=oct(mode)):
                m = self.machine(VALID)
                for path in (m.base, m.work, m.db):
                    os.chown(path, nobody.pw_uid, nobody.pw_gid)
                os.chmod(m.base, 0o755)
                registry_file = os.path.join(m.root, "etc", "brenvik", "registry.reg")
                os.chmod(registry_file, mode)
                with open(registry_file, "rb") as f:
                    before = f.read()
                m.start(user=nobody, opening=opening)
                m.click("SaveButton")
                m.message("The settings cannot be saved; nothing was written")
                with open(registry_file, "rb") as f:
                    self.assertEqual(f.read(), before)

    def test_gateway_starts_on_what_was_typed(self):
        """The receive address typed after a click, a send host with blanks
        and a domain with blanks: the gateway listens there and takes mail
        for that domain."""
        backend = e2e.AioBackend()
        self.addCleanup(backend.stop)
        recv_port = e2e.free_port("127.168.1.10")
        m = self.machine({"RecvPort": "25", "RecvHost": "0.0.0.0", "SendPort": "26", "SendHost": ""}, domains=())
        m.start()
        m.click("RecvHostInput", 0)
        m.type("127.168.1.10")
        m.replace_text("RecvPortEdit", str(recv_port))
        m.click("SendHostEdit")
        m.type("  localhost  ")
        m.replace_text("SendPortEdit", str(backend.port))
        m.click("DomainEdit")
        m.type("  three.example  ")
        m.add_and_wait("DomainAddButton", "SELECT what FROM SpamSystem", [("@three.example",)])
        m.click("RestartCheck")  # this test starts the gateway itself
        m.save_and_end()
        saved = m.settings()
        self.assertEqual((saved["RecvHost"], saved["SendHost"], saved["WorkDir"], saved["GarbageCollector"]),
                         ("127.168.1.10", "localhost", m.work, "1"))

        gateway = subprocess.Popen([e2e.BRENVIK], env=dict(os.environ, BRENVIK_SYSROOT=m.root),
                                   cwd=m.base, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (gateway.terminate(), gateway.wait()))
        self.assertTrue(e2e.wait_until(lambda: e2e.is_listening("127.168.1.10", recv_port), e2e.START_TIMEOUT))
        for attempt in (1, 2):  # greylisted once, then accepted
            with smtplib.SMTP("127.168.1.10", recv_port, source_address=("127.0.0.1", 0)) as client:
                client.ehlo("client.test")
                code, _ = client.mail("sender@elsewhere.example")
                if attempt == 1:
                    self.assertEqual(code, 451)
                    continue
                self.assertEqual(code, 250)
                self.assertEqual(client.rcpt("admin@three.example")[0], 250)
                self.assertEqual(client.data(b"Subject: typed\r\n\r\nhello\r\n")[0], 250)
        self.assertEqual([e[1] for e in backend.messages()], [["admin@three.example"]])


if __name__ == "__main__":
    unittest.main()
