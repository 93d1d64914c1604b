#!/usr/bin/python3
"""The brenvik program as an administrator and the service manager see it:
install and uninstall on a temporary machine root, and the service's state
reports over a notify socket of the test's own."""
import os
import pathlib
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from aiosmtpd.controller import Controller

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

    def systemctl_calls(self):
        return pathlib.Path(self.calls).read_text().splitlines() if os.path.exists(self.calls) else []

    def run(self, *args, **env):
        return subprocess.run([BRENVIK, *args], env=dict(self.env, **env), capture_output=True, text=True,
                              timeout=DEADLINE)

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


if __name__ == "__main__":
    if not BRENVIK:
        sys.exit("BRENVIK_BIN must name the brenvik program")
    unittest.main()
