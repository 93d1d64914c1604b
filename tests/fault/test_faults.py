"""The real gateway when things around it fail: the backend, the database,
the registry file, the transcript folder, a kill -9 in the middle of work.
In every case no client is told a lie and the gateway goes on."""
import os
import pwd
import signal
import sqlite3
import threading
import unittest

import brenvik_e2e as e2e

B = e2e.ScriptedBackend
QUEUED = b"250 2.0.0 queued"
SENDER_OK = b"250 2.1.0 sender ok"
NO_DATABASE = ("FEHLER: Datenbankverbindung konnte nicht erstellt werden. Start abgebrochen / "
               "no database connection")
REGISTRY_LINE = (e2e.EVENT_ERROR + "FEHLER: Registry-Datei Zeile %d nicht verstanden, bleibt wie sie ist "
                 "/ registry file line %d not understood, kept as it stands: ")


def mail_data(tag, size=100_000):
    head = b"Subject: " + tag + b"\r\n\r\n"
    return head + b"y" * 70 + b"\r\n" + (b"z" * 98 + b"\r\n") * (size // 100)


def send_mail(port, sender, data):
    """Sends one mail from a relay-allowed client; returns the final line of
    the answer to the data (None when the gateway closed the connection)."""
    c = e2e.RawClient.session(port, e2e.RELAY_HOST, helo=b"EHLO fault.test")
    try:
        c.expect(b"MAIL FROM:<" + sender + b">", b"250")
        c.expect(b"RCPT TO:<user@example.com>", b"250")
        c.expect(b"DATA", b"354")
        try:
            c.send(data + b".\r\n")
            reply = c.read_reply()
        except OSError:  # reset while sending
            return None
        return reply[-1] if reply else None
    finally:
        c.close()


def gateway_for(test, backend_port, **kwargs):
    gateway = e2e.Gateway(backend_port, **kwargs)
    test.addCleanup(gateway.finish)  # also fails on a sanitizer report
    return gateway


def backend_for(test, **kwargs):
    backend = B(**kwargs)
    test.addCleanup(backend.stop)
    return backend


class BackendFaultTest(unittest.TestCase):
    def test_backend_faults_are_reported_and_the_gateway_serves_on(self):
        port = e2e.free_port(e2e.BACKEND_HOST)  # nobody listens there yet
        gateway = gateway_for(self, port)
        self.assertIn(e2e.EVENT_INFO + "Service wurde gestartet / service started",
                      gateway.stderr_text())
        for _ in range(2):
            before = gateway.transcript_names()
            c = e2e.RawClient(gateway.port)
            self.assertEqual(c.read_reply(), [b"421 Error MailserverDevice I/O error"])
            self.assertTrue(c.closed_by_peer())
            c.close()
            self.assertEqual(e2e.transcript_lines(gateway.new_transcript(before, b"\r\n")),
                             ["Fehler beim OPEN Weiterleitungsserver"])
        backend = backend_for(self, port=port)
        # Each broken data phase is followed by a mail that must pass.
        for behaviour in (B.NORMAL, B.CLOSE_IN_DATA, B.NORMAL, B.RESET_IN_DATA, B.SLOW):
            with self.subTest(behaviour):
                backend.behaviours = [behaviour]
                data = mail_data(behaviour.encode(), 5000 if behaviour == B.SLOW else 100_000)
                before, (_, messages) = gateway.transcript_names(), backend.received()
                reply = send_mail(gateway.port, b"a@example.org", data)
                if behaviour in (B.CLOSE_IN_DATA, B.RESET_IN_DATA):
                    # The client is never told that the broken mail was accepted.
                    self.assertIsNone(reply)
                    transcript = e2e.transcript_lines(gateway.new_transcript(
                        before, ends_with=lambda t: b"ABBRUCH " in t))
                    self.assertTrue(transcript[-1].startswith("ABBRUCH "), transcript[-3:])
                    self.assertEqual(backend.received()[1], messages)
                else:
                    self.assertEqual(reply, QUEUED)
                    self.assertEqual(backend.received()[1], messages + [data + b".\r\n"])
        self.assertTrue(gateway.running())


class DatabaseLockTest(unittest.TestCase):
    def test_locked_database_defers_new_senders_and_the_gateway_goes_on(self):
        """spam.mdb write-locked by another process for longer than the busy
        time-out: nobody is let through who would not be, and once the lock
        is gone greylisting works as before."""
        gateway = gateway_for(self, backend_for(self).port, settings={"LogDB": 0})
        gateway.db.execute("INSERT INTO Liste (Email, WieOft, IpAdresse) VALUES (?, 1, ?)",
                           ("WAITING@EXAMPLE.ORG", e2e.CLIENT_HOST))
        c = e2e.RawClient.session(gateway.port, helo=b"EHLO lock.test")
        self.addCleanup(c.close)
        mail = lambda sender: c.command(b"MAIL FROM:<" + sender + b">")[-1]
        locker = sqlite3.connect(gateway.db.path, isolation_level=None, timeout=10)
        locker.execute("BEGIN EXCLUSIVE")
        try:
            # Held across the gateway's whole busy wait of each statement.
            self.assertEqual(mail(b"new@example.org"), b"451 Try later...")
            self.assertEqual(mail(b"boss@trusted.example"), SENDER_OK)
            # A retry is a retry whether or not its count can be written.
            self.assertEqual(mail(b"waiting@example.org"), SENDER_OK)
        finally:
            locker.rollback()
            locker.close()
        self.assertEqual(gateway.db.liste("NEW@EXAMPLE.ORG"), [])
        self.assertEqual(mail(b"new@example.org"), b"451 Try later...")
        self.assertEqual(mail(b"new@example.org"), SENDER_OK)
        self.assertEqual([r[1] for r in gateway.db.liste("NEW@EXAMPLE.ORG")], [2])
        self.assertTrue(gateway.running())


class TranscriptFolderTest(unittest.TestCase):
    def test_mail_flows_when_no_transcript_can_be_written(self):
        backend = backend_for(self)
        gateway = gateway_for(self, backend.port)
        with open(os.path.join(gateway.work, "maillog"), "w") as f:
            f.write("a file where the transcript folder belongs\n")
        for n in range(2):
            data = mail_data(b"untranscribed %d" % n, 2000)
            self.assertEqual(send_mail(gateway.port, b"t@example.org", data), QUEUED)
        self.assertEqual(len(backend.received()[1]), 2)
        self.assertTrue(gateway.running())


class RegistryFaultTest(unittest.TestCase):
    def test_missing_unreadable_or_corrupt_registry_file(self):
        """Without usable settings the gateway falls back to its defaults, whose
        working folder "/" an unprivileged user cannot write: it reports the
        missing database, stays up and stops cleanly. Run as "nobody" so that
        the defaults never touch the real root."""
        if os.geteuid() != 0 or os.path.exists("/spam.mdb"):
            raise unittest.SkipTest("needs root to run the gateway as nobody, and no /spam.mdb")
        garbage = b"\x00\xffnot a registry file\n[broken\n\"WorkDir\"=\"/tmp\n"
        for name, content, mode in (("missing", None, 0), ("unreadable", b"", 0o200),
                                    ("corrupt", garbage, 0o600)):
            with self.subTest(name):
                g = e2e.Gateway(e2e.free_port(e2e.BACKEND_HOST), database=None, start=False,
                                user=pwd.getpwnam("nobody"))
                self.addCleanup(g.finish)
                folder = os.path.join(g.root, "etc", "brenvik")
                file = os.path.join(folder, "registry.reg")
                if content is None:
                    os.remove(file)
                else:
                    with open(file, "rb+") as f:  # keeps its owner
                        content = content or f.read()
                        f.seek(0)
                        f.write(content)
                        f.truncate()
                    os.chmod(file, mode)
                g.start_process(wait_for_listener=False)
                self.assertTrue(g.wait_for_output(NO_DATABASE), g.stderr_text())
                self.assertTrue(g.running(), g.stderr_text())
                self.assertEqual(g.stop(), 0, g.stderr_text())
                self.assertFalse(os.path.exists("/spam.mdb"))
                if content is None:
                    continue
                # Never written over unread, never moved aside: every line
                # it could not read stays as it stands.
                self.assertEqual(sorted(n for n in os.listdir(folder) if "corrupt" in n), [])
                with open(file, "rb") as f:
                    kept = f.read()
                self.assertIn(content, kept)
                if name == "corrupt":
                    self.assertIn(REGISTRY_LINE % (2, 2), g.stderr_text())  # below the header it gained

    def test_repeated_key_and_hand_written_lines(self):
        """The settings key split in two sections around the event key; then
        the same with what administrators write by hand: comments, hex(2)
        with a continuation, a short dword, and one line nothing can read.
        The gateway listens and relays where the file says, names the bad
        line, and after its own rewrites a restart reads the same. Run as
        "nobody", so that a file read wrongly never puts a spam.mdb at /."""
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root to run the gateway as nobody")
        events = ("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\"
                  "Application\\Brenvik]")
        vikmar = "[HKEY_LOCAL_MACHINE\\Software\\Vikmar]"
        bad = "this line means nothing"
        for name, by_hand in (("repeated key", False), ("hand-written", True)):
            with self.subTest(name):
                backend = backend_for(self)
                g = e2e.Gateway(backend.port, start=False, user=pwd.getpwnam("nobody"))
                self.addCleanup(g.finish)
                file = os.path.join(g.root, "etc", "brenvik", "registry.reg")
                with open(file) as f:
                    values = [line for line in f.read().splitlines()[3:] if line]
                extra = ['"Note"=hex(2):6f,6b,\\', "  00", '"Spare"=dword:7 ; short'] if by_hand else []
                recv_port = values[0] + ("   ; the public address comes later" if by_hand else "")
                lines = (["REGEDIT4", "; written by hand" if by_hand else "", "", vikmar] + values[4:]
                         + extra + ["", events, '"TypesSupported"=dword:00000007', "", vikmar, recv_port]
                         + ([bad] if by_hand else []) + values[1:4])
                with open(file, "w") as f:
                    f.write("\n".join(lines) + "\n")
                self.run_twice(g, file, values[0], bad if by_hand else None)

    def run_twice(self, g, file, recv_port, bad):
        for run in range(2):
            g.start_process()  # on RecvHost:RecvPort of the second section
            with open(file) as f:  # as the start event's registration left it
                text = f.read()
            if bad:
                n = text.splitlines().index(bad) + 1
                self.assertIn(REGISTRY_LINE % (n, n) + file, g.stderr_text())
            else:
                self.assertNotIn(e2e.EVENT_ERROR, g.stderr_text())
            data = mail_data(b"hand written %d" % run, 2000)
            self.assertEqual(send_mail(g.port, b"h@example.org", data), QUEUED)
            g.proc.send_signal(signal.SIGTERM)
            self.assertEqual(g.proc.wait(e2e.STOP_TIMEOUT), 0, g.stderr_text())
            self.assertIn("[HKEY_LOCAL_MACHINE\\Software\\Vikmar]\n" + recv_port, text)
            self.assertEqual(text.count("EventMessageFile"), 1)
        self.assertEqual(sorted(n for n in os.listdir(os.path.dirname(file)) if "corrupt" in n), [])


class ReadOnlyDatabaseTest(unittest.TestCase):
    def test_database_the_gateway_may_not_write_is_no_database_connection(self):
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root to run the gateway as nobody")
        g = e2e.Gateway(e2e.free_port(e2e.BACKEND_HOST), start=False, user=pwd.getpwnam("nobody"))
        self.addCleanup(g.finish)
        os.chmod(g.db.path, 0o444)
        with open(g.db.path, "rb") as f:
            before = f.read()
        g.start_process(wait_for_listener=False)
        self.assertTrue(g.wait_for_output(NO_DATABASE), g.stderr_text())
        self.assertFalse(e2e.is_listening(e2e.RECV_HOST, g.port))
        self.assertTrue(g.running(), g.stderr_text())
        self.assertEqual(g.stop(), 0, g.stderr_text())
        with open(g.db.path, "rb") as f:
            self.assertEqual(f.read(), before)


class KillTest(unittest.TestCase):
    """kill -9 while clients are greylisting: after a restart the database
    is intact and every sender whose answer a client received is there."""

    CLIENTS = 6
    SENDERS = 60   # per client, each deferred then accepted

    def test_kill_under_load_then_restart(self):
        gateway = gateway_for(self, backend_for(self).port)
        acknowledged = {}   # key -> WieOft the client's answers imply
        lock = threading.Lock()
        enough = threading.Event()

        def client(n):
            try:
                c = e2e.RawClient.session(gateway.port, helo=b"EHLO kill.test")
            except (OSError, AssertionError):
                return
            try:
                for s in range(self.SENDERS):
                    sender = b"k%d.%d@kill.example" % (n, s)
                    key = sender.decode().upper()
                    for count, answer in ((1, b"451 Try later..."), (2, SENDER_OK)):
                        if c.command(b"MAIL FROM:<" + sender + b">")[-1:] != [answer]:
                            return
                        with lock:
                            acknowledged[key] = count
                            if count == 2 and len(acknowledged) >= self.CLIENTS * 5:
                                enough.set()
                    c.command(b"RSET")
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

        gateway.start_process()
        self.assertEqual(gateway.db.query("PRAGMA integrity_check"), [("ok",)])
        rows = {email: wie_oft for email, wie_oft, *_ in gateway.db.liste()}
        for key, count in seen.items():
            self.assertGreaterEqual(rows.get(key, 0), count, key)
        # The restarted gateway goes on from those rows.
        some = sorted(k for k, v in seen.items() if v == 2)[0]
        c = e2e.RawClient.session(gateway.port, helo=b"EHLO again.test")
        self.addCleanup(c.close)
        self.assertEqual(c.command(b"MAIL FROM:<" + some.lower().encode() + b">")[-1], SENDER_OK)


if __name__ == "__main__":
    unittest.main()
