#!/usr/bin/python3
"""The brenvik program as an administrator and the service manager see it:
install and uninstall on a temporary machine root, and the service's state
reports over a notify socket of the test's own."""
import os
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BRENVIK = os.path.abspath(os.environ.get("BRENVIK_BIN", "")) if os.environ.get("BRENVIK_BIN") else ""
DEADLINE = 10.0  # generous bound for anything the program should do soon

INSTALLED = "Erfolgsmeldung: Service wurde installiert, Service installed succesfully"
INSTALL_FAILED = ("Ein Fehler ist aufgetreten: Service konnte nicht installiert werden / "
                  "Service install failed:  0")
UNINSTALLED = "Erfolgsmeldung: Service wurde deinstalliert, Service uninstalled succesfully"
UNINSTALL_FAILED = ("Ein Fehler ist aufgetreten: Service konnte nicht deinstalliert werden / "
                    "Service uninstall failed:  0")
STARTED = "Erfolgsmeldung: Service wurde gestartet / service started"

RUNNING = "READY=1\nSTATUS=running"
PAUSED = "STATUS=paused"
STOP_PENDING = "STOPPING=1\nEXTEND_TIMEOUT_USEC=3000000"
STOPPED = "STATUS=stopped"


def free_port(address="127.0.0.1"):
    with socket.socket() as s:
        s.bind((address, 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout=DEADLINE):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def listening(address, port):
    """True when a socket listens on address:port (IPv4)."""
    a, b, c, d = (int(x) for x in address.split("."))
    local = "%02X%02X%02X%02X:%04X" % (d, c, b, a, port)
    with open("/proc/net/tcp") as table:
        for row in table.readlines()[1:]:
            fields = row.split()
            if fields[1] == local and fields[3] == "0A":
                return True
    return False


class Backend:
    """A scripted mail server: counts connections and keeps the messages."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.connections = 0
        self.messages = []
        self.changed = threading.Condition()
        self.closing = False
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while not self.closing:
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            with self.changed:
                self.connections += 1
                self.changed.notify_all()
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        conn.settimeout(DEADLINE)
        stream = conn.makefile("rwb")
        try:
            stream.write(b"220 backend ready\r\n")
            stream.flush()
            for line in stream:
                verb = line[:4].upper()
                if verb == b"DATA":
                    stream.write(b"354 go ahead\r\n")
                    stream.flush()
                    body = b""
                    for data_line in stream:
                        if data_line == b".\r\n":
                            break
                        body += data_line
                    with self.changed:
                        self.messages.append(body)
                        self.changed.notify_all()
                    stream.write(b"250 queued\r\n")
                elif verb == b"QUIT":
                    stream.write(b"221 bye\r\n")
                    stream.flush()
                    break
                else:
                    stream.write(b"250 ok\r\n")
                stream.flush()
        except OSError:
            pass
        finally:
            stream.close()
            conn.close()

    def wait(self, predicate, timeout=DEADLINE):
        with self.changed:
            return self.changed.wait_for(predicate, timeout)

    def close(self):
        self.closing = True
        self.thread.join()
        self.listener.close()


class Machine:
    """A temporary machine root with a registry file and a recording
    systemctl first on the search path."""

    def __init__(self, settings=None):
        self.folder = tempfile.mkdtemp(prefix="brenvik-service-")
        self.root = os.path.join(self.folder, "machine")
        self.work = os.path.join(self.folder, "work")
        os.makedirs(os.path.join(self.root, "etc", "brenvik"))
        os.makedirs(self.work)
        bin_folder = os.path.join(self.folder, "bin")
        os.makedirs(bin_folder)
        self.calls = os.path.join(self.folder, "systemctl.calls")
        fake = os.path.join(bin_folder, "systemctl")
        with open(fake, "w") as script:
            script.write("#!/bin/sh\necho \"$*\" >> '%s'\n" % self.calls)
        os.chmod(fake, 0o755)
        self.unit = os.path.join(self.root, "etc/systemd/system/brenvik.service")
        values = {"RecvHost": "127.0.0.1", "RecvPort": str(free_port()),
                  "SendHost": "127.0.0.1", "SendPort": str(free_port()),
                  "WorkDir": self.work}
        values.update(settings or {})
        with open(os.path.join(self.root, "etc/brenvik/registry.reg"), "w") as reg:
            reg.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Vikmar]\n")
            for name, text in values.items():
                reg.write('"%s"="%s"\n' % (name, text))
        self.settings = values
        self.env = dict(os.environ, BRENVIK_SYSROOT=self.root,
                        PATH=bin_folder + ":" + os.environ.get("PATH", "/usr/bin:/bin"))
        self.env.pop("JOURNAL_STREAM", None)
        self.env.pop("NOTIFY_SOCKET", None)

    def systemctl_calls(self):
        if not os.path.exists(self.calls):
            return []
        with open(self.calls) as f:
            return f.read().splitlines()

    def run(self, *args):
        return subprocess.run([BRENVIK, *args], env=self.env, capture_output=True, text=True,
                              timeout=DEADLINE)

    def remove(self):
        shutil.rmtree(self.folder, ignore_errors=True)


class Service:
    """brenvik running as the service, its reports on a notify socket."""

    def __init__(self, machine, *args):
        self.notify_path = os.path.join(machine.folder, "notify.sock")
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(self.notify_path)
        self.stderr_path = os.path.join(machine.folder, "stderr.txt")
        with open(self.stderr_path, "w") as err:
            self.proc = subprocess.Popen([BRENVIK, *args], cwd=machine.folder,
                                         env=dict(machine.env, NOTIFY_SOCKET=self.notify_path),
                                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=err)

    def report(self):
        self.notify.settimeout(DEADLINE)
        return self.notify.recv(4096).decode()

    def signal(self, number):
        self.proc.send_signal(number)

    def ended(self):
        """Exit status once the process is gone (within the bound)."""
        return self.proc.wait(timeout=DEADLINE)

    def stderr(self):
        with open(self.stderr_path) as err:
            return err.read()

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.notify.close()


def unit_setting(path, key):
    with open(path) as unit:
        for line in unit:
            if line.startswith(key + "="):
                return line.rstrip("\n")[len(key) + 1:]
    return None


class InstallCommands(unittest.TestCase):
    def setUp(self):
        self.machine = Machine()
        self.addCleanup(self.machine.remove)

    def test_install_twice_then_uninstall_twice(self):
        first = self.machine.run("-install")
        self.assertEqual(first.returncode, 0, first.stderr)
        self.assertIn(INSTALLED, first.stderr)
        self.assertEqual(unit_setting(self.machine.unit, "ExecStart"), os.path.realpath(BRENVIK))
        self.assertEqual(unit_setting(self.machine.unit, "Type"), "notify")
        self.assertEqual(self.machine.systemctl_calls(), ["daemon-reload"])

        with open(self.machine.unit, "a") as unit:
            unit.write("# edited by the administrator\n")
        with open(self.machine.unit) as unit:
            edited = unit.read()
        second = self.machine.run("-install")
        self.assertEqual(second.returncode, 1)
        self.assertIn(INSTALL_FAILED, second.stderr)
        self.assertNotIn(INSTALLED, second.stderr)
        with open(self.machine.unit) as unit:
            self.assertEqual(unit.read(), edited)  # never replaced
        self.assertEqual(os.listdir(os.path.dirname(self.machine.unit)), ["brenvik.service"])

        removed = self.machine.run("", "-uninstall")  # a leading blank is dropped
        self.assertEqual(removed.returncode, 0, removed.stderr)
        self.assertIn(UNINSTALLED, removed.stderr)
        self.assertFalse(os.path.exists(self.machine.unit))
        self.assertEqual(self.machine.systemctl_calls(), ["daemon-reload"] * 2)

        again = self.machine.run("-uninstall")
        self.assertEqual(again.returncode, 1)
        self.assertIn(UNINSTALL_FAILED, again.stderr)


class ServiceRun(unittest.TestCase):
    def setUp(self):
        self.backend = Backend()
        self.addCleanup(self.backend.close)

    def start(self, *args, settings=None):
        base = {"SendPort": str(self.backend.port)}
        base.update(settings or {})
        self.machine = Machine(base)
        self.addCleanup(self.machine.remove)
        service = Service(self.machine, *args)
        self.addCleanup(service.close)
        self.assertEqual(service.report(), RUNNING)
        return service

    def assert_stops(self, service, stop_signal):
        service.signal(stop_signal)
        self.assertEqual(service.report(), STOP_PENDING)
        self.assertEqual(service.report(), STOPPED)
        self.assertEqual(service.ended(), 0)

    def wait_listening(self):
        self.assertTrue(wait_until(lambda: listening(self.machine.settings["RecvHost"],
                                                     int(self.machine.settings["RecvPort"]))))

    def test_words_in_other_forms_run_the_service(self):
        for args, stop in ((["-INSTALL"], signal.SIGINT), (["-install "], signal.SIGPWR)):
            with self.subTest(args=args):
                service = self.start(*args)
                self.assert_stops(service, stop)
                self.assertIn(STARTED, service.stderr())
                self.assertFalse(os.path.exists(self.machine.unit))
                self.assertEqual(self.machine.systemctl_calls(), [])

    def test_pause_continue_interrogate_and_mail_while_paused(self):
        service = self.start()
        self.wait_listening()
        service.signal(signal.SIGUSR1)
        self.assertEqual(service.report(), PAUSED)

        with smtplib.SMTP("127.0.0.1", int(self.machine.settings["RecvPort"]),
                          timeout=DEADLINE) as client:
            client.sendmail("sender@example.org", ["someone@example.com"],
                            "Subject: paused\r\n\r\nstill flowing\r\n")
        self.assertTrue(self.backend.wait(lambda: self.backend.messages))
        self.assertIn(b"still flowing", self.backend.messages[0])

        service.signal(signal.SIGHUP)
        self.assertEqual(service.report(), PAUSED)
        service.signal(signal.SIGUSR2)
        self.assertEqual(service.report(), RUNNING)
        service.signal(signal.SIGHUP)
        self.assertEqual(service.report(), RUNNING)
        self.assert_stops(service, signal.SIGTERM)

    def test_stop_wakes_the_worker_listening_on_the_host_name(self):
        own = socket.gethostbyname(socket.gethostname())
        if not own.startswith("127."):
            self.skipTest("host name does not resolve to loopback")
        service = self.start(settings={"RecvHost": own, "RecvPort": str(free_port(own))})
        self.wait_listening()
        self.assertEqual(self.backend.connections, 0)
        service.signal(signal.SIGTERM)
        self.assertEqual(service.report(), STOP_PENDING)
        # The worker took the wake-up connection like any client's.
        self.assertTrue(self.backend.wait(lambda: self.backend.connections == 1))
        self.assertEqual(service.report(), STOPPED)
        self.assertEqual(service.ended(), 0)

    def test_stop_goes_on_when_the_wake_up_finds_no_listener(self):
        service = self.start(settings={"RecvHost": "127.0.0.2", "RecvPort": str(free_port())})
        self.wait_listening()
        self.assert_stops(service, signal.SIGTERM)
        self.assertEqual(self.backend.connections, 0)


if __name__ == "__main__":
    if not BRENVIK:
        sys.exit("BRENVIK_BIN must name the brenvik program")
    unittest.main()
