#!/usr/bin/python3
"""The brenvik program as an administrator and the service manager see it:
install and uninstall on a temporary machine root, and the service's state
reports over a notify socket of the test's own."""
import calendar
import contextlib
import os
import pathlib
import pwd
import re
import shutil
import signal
import smtplib
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

from aiosmtpd.controller import Controller

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "e2e"), os.path.join(HERE, "..", "support")]
import brenvik_e2e as e2e  # noqa: E402
import private_etc  # noqa: E402
import test_system_log as journal_test  # noqa: E402  (its launcher and record parser)
import test_shared_database as clock_test  # noqa: E402  (libfaketime for the gateway)

BRENVIKCFG = os.environ.get("BRENVIKCFG_BIN", "")
PRIVATE_ETC = False  # the service's user is made only in a private /etc
BRENVIK = os.path.abspath(os.environ.get("BRENVIK_BIN", "")) if os.environ.get("BRENVIK_BIN") else ""
DEADLINE = 10.0  # generous bound for anything the program should do soon
SUCCESS, ERROR = "Erfolgsmeldung: ", "Ein Fehler ist aufgetreten: "
INSTALLED = SUCCESS + "Service wurde installiert, Service installed succesfully"
INSTALL_FAILED = ERROR + "Service konnte nicht installiert werden / Service install failed:  0"
UNINSTALLED = SUCCESS + "Service wurde deinstalliert, Service uninstalled succesfully"
UNINSTALL_FAILED = ERROR + "Service konnte nicht deinstalliert werden / Service uninstall failed:  0"
STARTED = SUCCESS + "Service wurde gestartet / service started"
RUNNING, PAUSED, STOPPED = "READY=1\nSTATUS=running", "STATUS=paused", "STATUS=stopped"
STOP_PENDING = "STOPPING=1\nEXTEND_TIMEOUT_USEC=3000000"
ACTIVITIES = ("STATUS=listening on ", "STATUS=not listening: ")


def free_port(address="127.0.0.1"):
    with socket.socket() as s:
        s.bind((address, 0))
        return s.getsockname()[1]


def wait_until(predicate):
    end = time.monotonic() + DEADLINE
    while not predicate() and time.monotonic() < end:
        time.sleep(0.02)
    return predicate()


def listening(address, port):
    """True when a socket listens on address:port (IPv4)."""
    local = "%08X:%04X" % (int.from_bytes(socket.inet_aton(address), "little"), port)
    with open("/proc/net/tcp") as table:
        return any(row.split()[1:4:2] == [local, "0A"] for row in table.readlines()[1:])


class Backend(Controller):
    """Debian's aiosmtpd as the mail server: counts connections, keeps the messages."""

    def __init__(self):
        super().__init__(self, hostname="127.0.0.1", port=free_port())
        self.connections, self.messages = 0, []
        self.start()
        self.connections = 0  # without the start-up check's own connection

    def factory(self):
        self.connections += 1
        return super().factory()

    async def handle_DATA(self, server, session, envelope):
        self.messages.append(envelope.content)
        return "250 queued"


class Machine:
    """A temporary machine root with a registry file and a recording
    systemctl first on the search path."""

    def __init__(self, settings=None):
        self.folder = tempfile.mkdtemp(prefix="brenvik-service-")
        self.root, self.work = os.path.join(self.folder, "machine"), os.path.join(self.folder, "work")
        bin_folder = os.path.join(self.folder, "bin")
        for folder in (os.path.join(self.root, "etc", "brenvik"), self.work, bin_folder):
            os.makedirs(folder)
        self.calls = os.path.join(self.folder, "systemctl.calls")
        with open(os.path.join(bin_folder, "systemctl"), "w") as script:
            script.write("#!/bin/sh\necho \"$*\" >> '%s'\n" % self.calls)
        os.chmod(os.path.join(bin_folder, "systemctl"), 0o755)
        self.unit = os.path.join(self.root, "etc/systemd/system/brenvik.service")
        self.settings = {"RecvHost": "127.0.0.1", "RecvPort": str(free_port()), "SendHost": "127.0.0.1",
                         "SendPort": str(free_port()), "WorkDir": self.work, **(settings or {})}
        with open(os.path.join(self.root, "etc/brenvik/registry.reg"), "w") as reg:
            reg.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Vikmar]\n")
            reg.writelines('"%s"="%s"\n' % item for item in self.settings.items())
        self.env = {name: value for name, value in os.environ.items()
                    if name not in ("JOURNAL_STREAM", "NOTIFY_SOCKET")}
        self.env.update(BRENVIK_SYSROOT=self.root, PATH=bin_folder + ":" + os.environ.get("PATH", "/usr/bin:/bin"))

    def set(self, name, value):
        """Changes one setting in the registry file (value "" removes it)."""
        self.settings = {k: v for k, v in self.settings.items() if k != name}
        if value:
            self.settings[name] = value
        with open(os.path.join(self.root, "etc/brenvik/registry.reg"), "w") as reg:
            reg.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Vikmar]\n")
            reg.writelines('"%s"="%s"\n' % item for item in self.settings.items())

    def systemctl_calls(self):
        return pathlib.Path(self.calls).read_text().splitlines() if os.path.exists(self.calls) else []

    def run(self, *args, cwd=None, **env):
        return subprocess.run([BRENVIK, *args], env=dict(self.env, **env), capture_output=True, text=True,
                              timeout=DEADLINE, cwd=cwd)

    def unit_setting(self, key):
        with open(self.unit) as unit:
            return next((line[len(key) + 1:].rstrip("\n") for line in unit if line.startswith(key + "=")), None)


class InstallCommands(unittest.TestCase):
    def setUp(self):
        self.machine = Machine()
        self.addCleanup(shutil.rmtree, self.machine.folder, True)

    def test_install_twice_then_uninstall_twice(self):
        first = self.machine.run("-install")
        self.assertEqual((first.returncode, first.stderr.strip()), (0, INSTALLED))
        self.assertEqual(self.machine.unit_setting("ExecStart"), os.path.realpath(BRENVIK))
        self.assertEqual(self.machine.unit_setting("Type"), "notify")
        self.assertEqual(self.machine.systemctl_calls(), ["daemon-reload"])

        with open(self.machine.unit, "a") as unit:
            unit.write("# edited by the administrator\n")
        with open(self.machine.unit) as unit:
            edited = unit.read()
        second = self.machine.run("-install")
        self.assertEqual((second.returncode, second.stderr.strip()), (1, INSTALL_FAILED))
        with open(self.machine.unit) as unit:
            self.assertEqual(unit.read(), edited)  # never replaced

        # The enable link goes with the unit; other services' links stay.
        wants = os.path.join(os.path.dirname(self.machine.unit), "multi-user.target.wants")
        os.makedirs(wants)
        os.symlink(self.machine.unit, os.path.join(wants, "brenvik.service"))
        os.symlink("/etc/systemd/system/other.service", os.path.join(wants, "other.service"))
        removed = self.machine.run("", "-uninstall")  # a leading blank is dropped
        self.assertEqual((removed.returncode, removed.stderr.strip()), (0, UNINSTALLED))
        self.assertFalse(os.path.exists(self.machine.unit))
        self.assertEqual(os.listdir(wants), ["other.service"])
        self.assertEqual(self.machine.systemctl_calls(), ["daemon-reload"] * 2)

        again = self.machine.run("-uninstall")
        self.assertEqual((again.returncode, again.stderr.strip()), (1, UNINSTALL_FAILED))

    def test_unit_is_sandboxed_and_rated_ok_by_systemd(self):
        """The written unit as systemd itself rates it, offline; its one
        writable folder is WorkDir, else the folder -install ran in."""
        if not shutil.which("systemd-analyze"):
            self.skipTest("systemd-analyze is not installed")
        for work_dir, expected in ((self.machine.work, self.machine.work), ("", self.machine.folder)):
            with self.subTest(work_dir=work_dir):
                self.machine.set("WorkDir", work_dir)
                self.assertEqual(self.machine.run("-install", cwd=self.machine.folder).returncode, 0)
                self.assertEqual(self.machine.unit_setting("ReadWritePaths"), "-" + expected)
                rating = subprocess.run(["systemd-analyze", "security", "--offline=yes", self.machine.unit],
                                        capture_output=True, text=True, timeout=60)
                exposure = re.search(r"Overall exposure level for brenvik\.service: (\d+\.\d+)", rating.stdout)
                self.assertIsNotNone(exposure, rating.stdout + rating.stderr)
                self.assertLessEqual(float(exposure.group(1)), 2.5, rating.stdout)
                for key, value in (("User", "brenvik"), ("Group", "brenvik"), ("ProtectSystem", "strict"),
                                   ("AmbientCapabilities", "CAP_NET_BIND_SERVICE"), ("LimitNOFILE", "65536")):
                    self.assertEqual(self.machine.unit_setting(key), value)
                self.assertEqual(self.machine.run("-uninstall").returncode, 0)

    def test_unwritable_unit_folder_fails_and_missing_systemctl_does_not(self):
        folder = os.path.dirname(self.machine.unit)
        os.makedirs(os.path.dirname(folder))
        with open(folder, "w") as blocker:  # a file where the folder belongs, also for root
            blocker.write("not a folder")
        self.assertEqual(self.machine.run("-install").returncode, 1)
        self.assertEqual(self.machine.run("-uninstall").returncode, 1)
        self.assertEqual(self.machine.systemctl_calls(), [])
        os.remove(folder)
        self.assertEqual(self.machine.run("-install", PATH="/nonexistent").returncode, 0)
        self.assertEqual(self.machine.run("-uninstall", PATH="/nonexistent").returncode, 0)


class ServiceRun(unittest.TestCase):
    def setUp(self):
        self.backend = Backend()
        self.addCleanup(self.backend.stop)

    def start(self, *args, settings=None):
        """brenvik running as the service, once it reported running."""
        machine = Machine({"SendPort": str(self.backend.port), **(settings or {})})
        self.addCleanup(shutil.rmtree, machine.folder, True)
        notify_path = os.path.join(machine.folder, "notify.sock")
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(notify_path)
        self.notify.settimeout(DEADLINE)
        self.addCleanup(self.notify.close)
        self.activities = []
        self.stderr = tempfile.TemporaryFile("w+")
        self.addCleanup(self.stderr.close)
        self.service = subprocess.Popen([BRENVIK, *args], cwd=machine.folder, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=self.stderr,
                                        env=dict(machine.env, NOTIFY_SOCKET=notify_path))
        self.addCleanup(self.service.wait)
        self.addCleanup(self.service.kill)
        self.assertEqual(self.report(), RUNNING)
        self.machine = machine
        return machine

    def report(self):
        """The next state report; what the gateway does is kept apart."""
        while True:
            message = self.notify.recv(4096).decode()
            if not message.startswith(ACTIVITIES):
                return message
            self.activities.append(message)

    def activity(self):
        """What the gateway does, from its first STATUS= text on."""
        while not self.activities:
            message = self.notify.recv(4096).decode()
            self.assertTrue(message.startswith(ACTIVITIES), message)
            self.activities.append(message)
        return self.activities[-1]

    def signal(self, number, *reports):
        self.service.send_signal(number)
        for expected in reports:
            self.assertEqual(self.report(), expected)

    def assert_stops(self, stop_signal):
        self.signal(stop_signal, STOP_PENDING, STOPPED)
        self.assertEqual(self.service.wait(timeout=DEADLINE), 0)

    def wait_listening(self):
        address, port = self.machine.settings["RecvHost"], int(self.machine.settings["RecvPort"])
        self.assertTrue(wait_until(lambda: listening(address, port)))

    # Also: the stop goes on when the wake-up connection finds no listener.
    def test_words_in_other_forms_run_the_service(self):
        for args, stop in ((["-INSTALL"], signal.SIGINT), (["-install "], signal.SIGPWR)):
            with self.subTest(args=args):
                machine = self.start(*args, settings={"RecvHost": "127.0.0.2"})
                self.wait_listening()
                self.assert_stops(stop)
                self.stderr.seek(0)
                self.assertIn(STARTED, self.stderr.read())
                self.assertFalse(os.path.exists(machine.unit))
                self.assertEqual(machine.systemctl_calls(), [])
                self.assertEqual(self.backend.connections, 0)

    def test_pause_continue_interrogate_and_mail_while_paused(self):
        machine = self.start()
        self.wait_listening()
        self.signal(signal.SIGUSR1, PAUSED)
        with smtplib.SMTP("127.0.0.1", int(machine.settings["RecvPort"]), timeout=DEADLINE) as client:
            client.sendmail("sender@example.org", ["someone@example.com"],
                            "Subject: paused\r\n\r\nstill flowing\r\n")
        self.assertTrue(wait_until(lambda: self.backend.messages))
        self.assertIn(b"still flowing", self.backend.messages[0])
        self.signal(signal.SIGHUP, PAUSED)
        self.signal(signal.SIGUSR2, RUNNING)
        self.signal(signal.SIGHUP, RUNNING)
        self.assert_stops(signal.SIGTERM)

    def test_status_says_what_the_gateway_does(self):
        busy = socket.socket()
        self.addCleanup(busy.close)
        busy.bind(("127.0.0.1", 0))
        busy.listen(1)
        cases = (({}, "STATUS=listening on 127.0.0.1:%(RecvPort)s, relaying to 127.0.0.1:%(SendPort)s"),
                 ({"RecvPort": str(busy.getsockname()[1])}, "STATUS=not listening: Address already in use"),
                 ({"RecvHost": "192.0.2.1"}, "STATUS=not listening: Cannot assign requested address"),
                 ({"WorkDir": "/nonexistent/folder"}, "STATUS=not listening: no database connection"))
        for settings, status in cases:
            with self.subTest(status):
                machine = self.start(settings=settings)
                self.assertEqual(self.activity(), status % machine.settings)
                # A running report after a pause repeats it.
                self.signal(signal.SIGUSR1, PAUSED)
                self.signal(signal.SIGUSR2, RUNNING)
                self.assertEqual(self.notify.recv(4096).decode(), status % machine.settings)
                self.assert_stops(signal.SIGTERM)

    def test_stop_wakes_the_worker_listening_on_the_host_name(self):
        own = socket.gethostbyname(socket.gethostname())
        if not own.startswith("127."):
            self.skipTest("host name does not resolve to loopback")
        self.start(settings={"RecvHost": own, "RecvPort": str(free_port(own))})
        self.wait_listening()
        self.assertEqual(self.backend.connections, 0)
        self.signal(signal.SIGTERM, STOP_PENDING)
        # The worker took the wake-up connection like any client's.
        self.assertTrue(wait_until(lambda: self.backend.connections == 1))
        self.assertEqual(self.report(), STOPPED)
        self.assertEqual(self.service.wait(timeout=DEADLINE), 0)


# The service's user with port 25 as its only privilege, as the unit runs it.
def as_service_user(user):
    return ["setpriv", "--reuid=%d" % user.pw_uid, "--regid=%d" % user.pw_gid, "--clear-groups",
            "--inh-caps=-all,+net_bind_service", "--ambient-caps=-all,+net_bind_service",
            "--bounding-set=-all,+net_bind_service", "--no-new-privs"]


SERVICE_HOST = "127.21.0.25"  # port 25 of a loopback address of its own
STALE = ("STALE@X.EXAMPLE", 1, "2026-12-08 00:59:59")  # a first attempt the 07:00 purge removes


class LeastPrivilege(unittest.TestCase):
    """The real gateway as the package's user brenvik (in a private /etc) with
    only CAP_NET_BIND_SERVICE: settings it may only read, a working folder of
    its own, a journal socket and a clock of the test's own."""

    @classmethod
    def setUpClass(cls):
        if not PRIVATE_ETC:
            raise unittest.SkipTest("needs root and a private /etc for the user brenvik")
        if not os.path.exists(clock_test.FAKETIME_LIB):
            raise unittest.SkipTest("libfaketime not installed (package faketime)")
        subprocess.run(["adduser", "--system", "--group", "--quiet", "--no-create-home", "--home", "/nonexistent",
                        "brenvik"], check=True, timeout=60)
        cls.user = pwd.getpwnam("brenvik")

    def setUp(self):
        self.backend = e2e.AioBackend()
        self.addCleanup(self.backend.stop)
        self.folder = tempfile.mkdtemp(prefix="brenvik-unprivileged-")
        os.chmod(self.folder, 0o755)
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.journal = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.journal_path = os.path.join(self.folder, "journal.sock")
        self.journal.bind(self.journal_path)
        os.chmod(self.journal_path, 0o666)
        self.journal.settimeout(e2e.IO_TIMEOUT)
        self.addCleanup(self.journal.close)
        self.clock = os.path.join(self.folder, "faketime.rc")
        self.set_clock("2026-12-08 06:30:00")

    def set_clock(self, when):
        offset = calendar.timegm(time.strptime(when, "%Y-%m-%d %H:%M:%S")) - round(time.time())
        with open(self.clock + ".new", "w") as f:
            f.write("%+d\n" % offset)
        os.chmod(self.clock + ".new", 0o644)
        os.replace(self.clock + ".new", self.clock)

    def gateway(self, settings=None, env=None, **options):
        """The gateway, not yet started, its files owned as the package leaves them."""
        settings = dict({"RecvHost": SERVICE_HOST, "RecvPort": 25, "GarbageCollector": 1}, **(settings or {}))
        env = dict({"LD_PRELOAD": clock_test.faketime_preload(), "FAKETIME_TIMESTAMP_FILE": self.clock,
                    "FAKETIME_NO_CACHE": "1", "FAKETIME_DONT_FAKE_MONOTONIC": "1", "TZ": "UTC0"}, **(env or {}))
        # libfaketime for brenvik only, behind the privilege change.
        preload = ["env"] + ["%s=%s" % item for item in env.items()]
        g = e2e.Gateway(self.backend.port, settings=settings, start=False, **options,
                        launcher=journal_test.JOURNAL_LAUNCHER + [self.journal_path]
                        + as_service_user(self.user) + preload)
        self.addCleanup(self.remove_clock_files, g)
        self.addCleanup(g.cleanup)
        os.chmod(g.root, 0o755)
        registry = os.path.join(g.root, "etc", "brenvik", "registry.reg")
        os.chown(registry, 0, self.user.pw_gid)
        os.chmod(registry, 0o640)
        for path in [g.work] + [os.path.join(g.work, name) for name in os.listdir(g.work)]:
            os.chown(path, self.user.pw_uid, self.user.pw_gid)
        os.chmod(g.work, 0o750)
        return g

    @staticmethod
    def remove_clock_files(g):
        """libfaketime removes these in exit(); brenvik ends with _exit()."""
        if g.proc:
            for name in ("faketime_shm_%d", "sem.faketime_sem_%d"):
                with contextlib.suppress(FileNotFoundError):
                    os.remove("/dev/shm/" + name % g.proc.pid)

    def sessions(self, count):
        """The next `count` session lines' decisions from the journal."""
        decisions = []
        while len(decisions) < count:
            fields = journal_test.parse_record(self.journal.recv(1 << 20))
            if "BRENVIK_CLIENT" in fields:
                decisions.append(fields.get("BRENVIK_DECISION", [""])[0])
        return decisions

    def deliver(self, g, sender, tls=False):
        """A first attempt (deferred), then the retry, delivered."""
        for attempt in ("first", "retry"):
            with smtplib.SMTP(g.host, g.port, timeout=DEADLINE) as client:
                client.ehlo("client.test")
                if tls:
                    client.starttls(context=any_certificate())
                    client.ehlo("client.test")
                try:
                    client.sendmail(sender, ["user@example.com"], "Subject: %s\r\n\r\nbody\r\n" % attempt)
                except smtplib.SMTPSenderRefused as refused:
                    self.assertEqual((attempt, refused.smtp_code), ("first", 451))
        self.assertTrue(wait_until(lambda: self.backend.find(sender)))
        self.assertEqual(self.sessions(2), ["greylisted", "passed-on-retry"])

    def assert_service_files(self, g):
        """Transcripts and log rows written, every file in the folder the user's."""
        self.assertTrue(wait_until(lambda: len(g.db.log_rows()) == 2))
        self.assertTrue(g.transcript_names())
        for folder, _, files in os.walk(g.work):
            for path in [folder] + [os.path.join(folder, name) for name in files]:
                self.assertEqual(os.lstat(path).st_uid, self.user.pw_uid, path)

    def test_port_25_mail_transcript_log_rows_purge_and_report_as_brenvik(self):
        g = self.gateway(settings={"StatusMail": "admin@example.com"})
        g.db.execute("INSERT INTO Liste (Email, WieOft, LastEdit) VALUES (?, ?, ?)", STALE)
        os.chown(g.db.path, self.user.pw_uid, self.user.pw_gid)
        g.start_process()
        self.deliver(g, "someone@remote.example")
        self.assert_service_files(g)
        self.set_clock("2026-12-08 06:59:58")
        purged = lambda: g.db.query("SELECT SpamCount FROM Statistik") == [(1,)]
        self.assertTrue(e2e.wait_until(purged, clock_test.PASS_TIMEOUT, 0.1), g.stderr_text())
        self.assertEqual(g.db.liste(STALE[0]), [])
        self.set_clock("2026-12-09 00:59:58")  # the nightly report, mailed as brenvik too
        reported = lambda: self.backend.find("brenvik@localhost")
        self.assertTrue(e2e.wait_until(reported, clock_test.PASS_TIMEOUT, 0.1), g.stderr_text())
        self.assertEqual(reported()[0][1], ["admin@example.com"])
        self.assertNotIn(e2e.EVENT_ERROR, g.stderr_text())
        self.assertEqual(g.stop(), 0, g.stderr_text())

    def test_tls_files_from_credentials_the_user_may_not_read_on_disk(self):
        private = os.path.join(self.folder, "private")
        credentials = os.path.join(self.folder, "credentials")
        os.makedirs(private, 0o700)
        os.makedirs(credentials)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=mx.test",
                        "-days", "2", "-keyout", private + "/mx.key", "-out", private + "/mx.pem"],
                       check=True, capture_output=True, timeout=60)
        # As systemd's LoadCredential= leaves them: the user's, read-only.
        for name, source in (("TlsCertificate", "mx.pem"), ("TlsKey", "mx.key")):
            shutil.copyfile(os.path.join(private, source), os.path.join(credentials, name))
            os.chown(os.path.join(credentials, name), self.user.pw_uid, self.user.pw_gid)
            os.chmod(os.path.join(credentials, name), 0o400)
        os.chown(credentials, self.user.pw_uid, self.user.pw_gid)
        os.chmod(credentials, 0o500)
        g = self.gateway(settings={"TlsCertificate": private + "/mx.pem", "TlsKey": private + "/mx.key"},
                         env={"CREDENTIALS_DIRECTORY": credentials})
        g.start_process()
        self.deliver(g, "tls@remote.example", tls=True)
        self.assert_service_files(g)
        transcripts = [pathlib.Path(g.work, "maillog", name).read_bytes() for name in g.transcript_names()]
        self.assertTrue(any(re.search(rb"TLS TLSv1\.[23] ", t) for t in transcripts), transcripts)
        self.assertNotIn(e2e.EVENT_ERROR, g.stderr_text())
        self.assertEqual(g.stop(), 0, g.stderr_text())

    def test_database_the_tool_made_as_root_is_written_by_the_service(self):
        if not BRENVIKCFG or not os.access(BRENVIKCFG, os.X_OK):
            self.skipTest("brenvikcfg not built")
        g = self.gateway(database=None)
        tool = subprocess.run([BRENVIKCFG], cwd=g.work, capture_output=True, timeout=60,
                              env=dict(os.environ, BRENVIK_SYSROOT=g.root, QT_QPA_PLATFORM="offscreen",
                                       BRENVIK_SCREENSHOT=os.path.join(self.folder, "form.png")))
        self.assertEqual(tool.returncode, 0, tool.stderr)
        self.assertEqual(os.stat(g.db.path).st_uid, self.user.pw_uid)  # made by root, handed over
        g.start_process()
        with smtplib.SMTP(g.host, g.port, timeout=DEADLINE) as client:
            self.assertEqual(client.ehlo("client.test")[0], 250)
            self.assertEqual(client.mail("after.tool@remote.example")[0], 451)
        self.assertTrue(wait_until(lambda: g.db.liste("after.tool@remote.example")))
        self.assertEqual(g.stop(), 0, g.stderr_text())


def any_certificate():
    """A client context that takes the test's self-signed certificate."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


if __name__ == "__main__":
    if not BRENVIK:
        sys.exit("BRENVIK_BIN must name the brenvik program")
    PRIVATE_ETC = private_etc.enter()
    unittest.main()
