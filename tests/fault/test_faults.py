"""The real gateway when things around it fail: a backend that refuses,
breaks off in the middle of the data or answers late, a database locked by
another process, a missing, unreadable or corrupt registry file, a
transcript folder that cannot be created, and a kill -9 in the middle of
work. In every case no client is told a lie and the gateway goes on.
"""
import os
import pwd
import shutil
import signal
import sqlite3
import subprocess
import tempfile
import threading
import unittest

import brenvik_e2e as e2e
from fault_backend import CLOSE_IN_DATA, RESET_IN_DATA, SLOW, FaultBackend

ERROR_MAILSERVER = b"Error MailserverDevice I/O error"  # after the reply code
NO_DATABASE = ("FEHLER: Datenbankverbindung konnte nicht erstellt werden. Start abgebrochen / "
               "no database connection")
BUSY_WAIT = 5.0   # s the gateway's statements wait for another writer


def mail_data(tag, size=100_000):
    head = b"Subject: " + tag + b"\r\n\r\n"
    return head + b"y" * 70 + b"\r\n" + (b"z" * 98 + b"\r\n") * (size // 100)


def session(port, source=e2e.RELAY_HOST):
    c = e2e.RawClient(port, source=source)
    greeting = c.read_reply()
    return c, greeting


def command(c, line):
    c.send(line + b"\r\n")
    return c.read_reply()


def send_mail(port, sender, data, source=e2e.RELAY_HOST):
    """Sends one mail; returns the final line of the answer to the data
    (None when the gateway closed the connection instead)."""
    c, greeting = session(port, source)
    try:
        assert greeting and greeting[-1].startswith(b"220"), greeting
        assert command(c, b"EHLO fault.test")[-1].startswith(b"250")
        assert command(c, b"MAIL FROM:<" + sender + b">")[-1].startswith(b"250")
        assert command(c, b"RCPT TO:<user@example.com>")[-1].startswith(b"250")
        assert command(c, b"DATA")[-1].startswith(b"354")
        try:
            c.send(data + b".\r\n")
            reply = c.read_reply()
        except OSError:  # reset while sending
            return None
        return reply[-1] if reply else None
    finally:
        c.close()


class BackendFaultTest(unittest.TestCase):
    def start(self, backend_port, **kwargs):
        gateway = e2e.Gateway(backend_port, **kwargs)
        self.addCleanup(gateway.cleanup)
        return gateway

    def test_refused_backend_is_reported_and_the_gateway_serves_on(self):
        port = e2e.free_port(e2e.BACKEND_HOST)  # nobody listens there yet
        gateway = self.start(port)
        for _ in range(2):
            c, greeting = session(gateway.port)
            self.assertEqual(len(greeting), 1)
            self.assertTrue(greeting[0].endswith(ERROR_MAILSERVER), greeting)
            self.assertTrue(c.closed_by_peer())
            c.close()
        backend = FaultBackend(port=port)
        self.addCleanup(backend.stop)
        data = mail_data(b"after refusal", 1000)
        self.assertEqual(send_mail(gateway.port, b"a@example.org", data), b"250 queued")
        self.assertEqual(backend.received(), [data])
        self.assertTrue(gateway.running())

    def check_broken_data_phase(self, behaviour):
        backend = FaultBackend([behaviour])
        self.addCleanup(backend.stop)
        gateway = self.start(backend.port)
        before = gateway.transcript_names()
        # The client is never told that the broken mail was accepted.
        self.assertIsNone(send_mail(gateway.port, b"broken@example.org", mail_data(b"broken")))
        transcript = e2e.transcript_lines(gateway.new_transcript(
            before, ends_with=lambda t: b"ABBRUCH " in t))
        self.assertTrue(transcript[-1].startswith("ABBRUCH "), transcript[-3:])
        self.assertEqual(backend.received(), [])
        data = mail_data(b"next")
        self.assertEqual(send_mail(gateway.port, b"next@example.org", data), b"250 queued")
        self.assertEqual(backend.received(), [data])

    def test_backend_closing_in_the_data_phase(self):
        self.check_broken_data_phase(CLOSE_IN_DATA)

    def test_backend_resetting_in_the_data_phase(self):
        self.check_broken_data_phase(RESET_IN_DATA)

    def test_slow_backend_gets_every_answer_through(self):
        backend = FaultBackend([SLOW])
        self.addCleanup(backend.stop)
        gateway = self.start(backend.port)
        data = mail_data(b"slow", 5000)
        self.assertEqual(send_mail(gateway.port, b"slow@example.org", data), b"250 queued")
        self.assertEqual(backend.received(), [data])


class DatabaseLockTest(unittest.TestCase):
    """spam.mdb write-locked by another process for longer than the busy
    time-out: nobody is let through who would not be, and once the lock
    is gone greylisting works as before."""

    def setUp(self):
        self.backend = FaultBackend()
        self.addCleanup(self.backend.stop)
        self.gateway = e2e.Gateway(self.backend.port, settings={"LogDB": 0})
        self.addCleanup(self.gateway.cleanup)
        self.gateway.db.execute("INSERT INTO Liste (Email, WieOft, IpAdresse) VALUES (?, 1, ?)",
                                ("WAITING@EXAMPLE.ORG", e2e.CLIENT_HOST))

    def mail_reply(self, c, sender):
        return command(c, b"MAIL FROM:<" + sender + b">")[-1]

    def test_locked_database_defers_new_senders_and_the_gateway_goes_on(self):
        c, greeting = session(self.gateway.port, e2e.CLIENT_HOST)
        self.addCleanup(c.close)
        command(c, b"EHLO lock.test")
        locker = sqlite3.connect(self.gateway.db.path, isolation_level=None, timeout=10)
        locker.execute("BEGIN EXCLUSIVE")
        try:
            # Held across the gateway's whole busy wait of each statement.
            self.assertEqual(self.mail_reply(c, b"new@example.org"), b"451 Try later...")
            self.assertEqual(self.mail_reply(c, b"boss@trusted.example"), b"250 ok")
            # A deferred sender's retry is a retry whether or not its count
            # can be written.
            self.assertEqual(self.mail_reply(c, b"waiting@example.org"), b"250 ok")
        finally:
            locker.rollback()
            locker.close()
        self.assertEqual(self.gateway.db.liste("NEW@EXAMPLE.ORG"), [])
        self.assertEqual(self.mail_reply(c, b"new@example.org"), b"451 Try later...")
        self.assertEqual(self.mail_reply(c, b"new@example.org"), b"250 ok")
        self.assertEqual([r[1] for r in self.gateway.db.liste("NEW@EXAMPLE.ORG")], [2])
        self.assertTrue(self.gateway.running())


class TranscriptFolderTest(unittest.TestCase):
    def test_mail_flows_when_no_transcript_can_be_written(self):
        backend = FaultBackend()
        self.addCleanup(backend.stop)
        gateway = e2e.Gateway(backend.port)
        self.addCleanup(gateway.cleanup)
        with open(os.path.join(gateway.work, "maillog"), "w") as f:
            f.write("a file where the transcript folder belongs\n")
        for n in range(2):
            data = mail_data(b"untranscribed %d" % n, 2000)
            self.assertEqual(send_mail(gateway.port, b"t@example.org", data), b"250 queued")
        self.assertEqual(len(backend.received()), 2)
        self.assertTrue(gateway.running())


class RegistryFaultTest(unittest.TestCase):
    """Without usable settings the gateway falls back to its defaults, whose
    working folder "/" an unprivileged user cannot write: it reports the
    missing database, stays up and stops cleanly. Run as "nobody" so that
    the defaults never touch the real root."""

    def setUp(self):
        e2e.require_binary()
        try:
            self.user = pwd.getpwnam("nobody")
        except KeyError:
            raise unittest.SkipTest("no user nobody")
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root to run the gateway as nobody")
        if os.path.exists("/spam.mdb"):
            raise unittest.SkipTest("/spam.mdb exists")
        self.root = tempfile.mkdtemp(prefix="brenvik-fault-")
        self.addCleanup(shutil.rmtree, self.root, True)
        os.chmod(self.root, 0o755)
        self.folder = os.path.join(self.root, "etc", "brenvik")
        os.makedirs(self.folder)
        for path in (os.path.join(self.root, "etc"), self.folder):
            os.chown(path, self.user.pw_uid, self.user.pw_gid)
        self.file = os.path.join(self.folder, "registry.reg")

    def run_gateway(self):
        env = dict(os.environ, BRENVIK_SYSROOT=self.root)
        env.pop("NOTIFY_SOCKET", None)
        log = os.path.join(self.root, "output.txt")
        with open(log, "wb") as out:
            proc = subprocess.Popen(
                ["setpriv", "--reuid=%d" % self.user.pw_uid, "--regid=%d" % self.user.pw_gid,
                 "--clear-groups", e2e.BRENVIK], env=env, cwd=self.root,
                stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        def output():
            with open(log, "rb") as f:
                return f.read().decode("latin-1")
        try:
            self.assertTrue(e2e.wait_until(lambda: NO_DATABASE in output() or proc.poll() is not None,
                                           e2e.START_TIMEOUT))
            self.assertIn(NO_DATABASE, output())
            self.assertIsNone(proc.poll(), "the gateway ended by itself:\n" + output())
        finally:
            proc.send_signal(signal.SIGTERM)
            try:
                code = proc.wait(e2e.STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                code = None
        self.assertIsNotNone(code, "no clean stop")
        self.assertFalse(os.path.exists("/spam.mdb"))

    def test_missing_registry_file(self):
        self.run_gateway()

    def test_unreadable_registry_file(self):
        with open(self.file, "w") as f:
            f.write('REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Vikmar]\n"WorkDir"="%s"\n' % self.root)
        os.chown(self.file, self.user.pw_uid, self.user.pw_gid)
        os.chmod(self.file, 0o200)
        with open(self.file, "rb") as f:
            before = f.read()
        self.run_gateway()
        with open(self.file, "rb") as f:  # never written over unread
            self.assertEqual(f.read(), before)

    def test_corrupt_registry_file_is_kept_aside(self):
        garbage = b"\x00\xffnot a registry file\n[broken\n\"WorkDir\"=\"/tmp\n"
        with open(self.file, "wb") as f:
            f.write(garbage)
        os.chown(self.file, self.user.pw_uid, self.user.pw_gid)
        self.run_gateway()
        kept = [n for n in os.listdir(self.folder) if n.startswith("registry.reg.corrupt-")]
        if kept:  # written over only after the broken text was saved
            with open(os.path.join(self.folder, kept[0]), "rb") as f:
                self.assertEqual(f.read(), garbage)
        else:
            with open(self.file, "rb") as f:
                self.assertEqual(f.read(), garbage)


class KillTest(unittest.TestCase):
    """kill -9 while clients are greylisting: after a restart the database
    is intact and every sender whose answer a client received is there."""

    CLIENTS = 6
    SENDERS = 60   # per client, each deferred then accepted

    def test_kill_under_load_then_restart(self):
        backend = FaultBackend()
        self.addCleanup(backend.stop)
        gateway = e2e.Gateway(backend.port)
        self.addCleanup(gateway.cleanup)
        acknowledged = {}   # key -> WieOft the client's answers imply
        lock = threading.Lock()
        enough = threading.Event()

        def client(n):
            try:
                c, _ = session(gateway.port, e2e.CLIENT_HOST)
            except OSError:
                return
            try:
                command(c, b"EHLO kill.test")
                for s in range(self.SENDERS):
                    sender = b"k%d.%d@kill.example" % (n, s)
                    key = sender.decode().upper()
                    if command(c, b"MAIL FROM:<" + sender + b">")[-1:] != [b"451 Try later..."]:
                        return
                    with lock:
                        acknowledged[key] = 1
                    if command(c, b"MAIL FROM:<" + sender + b">")[-1:] != [b"250 ok"]:
                        return
                    with lock:
                        acknowledged[key] = 2
                        if len(acknowledged) >= self.CLIENTS * 5:
                            enough.set()
                    command(c, b"RSET")
            except OSError:
                return  # the gateway is gone
            finally:
                c.close()

        threads = [threading.Thread(target=client, args=(n,), daemon=True)
                   for n in range(self.CLIENTS)]
        for t in threads:
            t.start()
        self.assertTrue(enough.wait(120), "clients made no progress")
        gateway.proc.send_signal(signal.SIGKILL)
        gateway.proc.wait()
        for t in threads:
            t.join(30)
        with lock:
            seen = dict(acknowledged)

        gateway.proc = subprocess.Popen([e2e.BRENVIK], env=e2e._child_env(gateway.root),
                                        cwd=gateway.root, stdin=subprocess.DEVNULL,
                                        stdout=gateway._stderr, stderr=gateway._stderr)
        self.assertTrue(e2e.wait_until(gateway._up, e2e.START_TIMEOUT) and gateway.running())
        self.assertEqual(gateway.db.query("PRAGMA integrity_check"), [("ok",)])
        rows = {email: wie_oft for email, wie_oft, *_ in gateway.db.liste()}
        for key, count in seen.items():
            self.assertIn(key, rows)
            self.assertGreaterEqual(rows[key], count, key)
        # The restarted gateway goes on from those rows.
        some = sorted(k for k, v in seen.items() if v == 2)[0]
        c, _ = session(gateway.port, e2e.CLIENT_HOST)
        self.addCleanup(c.close)
        command(c, b"EHLO again.test")
        self.assertEqual(command(c, b"MAIL FROM:<" + some.lower().encode() + b">")[-1], b"250 ok")


if __name__ == "__main__":
    unittest.main()
