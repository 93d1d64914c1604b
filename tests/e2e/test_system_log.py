"""One line per session in the system log, with its journal fields: the
real gateway sends to a journal socket of the test's own, bound over the
journal's path in a mount namespace of the gateway's own."""
import os
import shutil
import socket
import struct
import tempfile
import unittest

import brenvik_e2e as e2e

# Runs the command with a fresh /run whose journal socket is the test's.
JOURNAL_LAUNCHER = ["unshare", "--mount", "sh", "-c",
                    "mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/journal && "
                    "touch /run/systemd/journal/socket && "
                    "mount --bind \"$0\" /run/systemd/journal/socket && exec \"$@\""]

backend = gateway = journal = None
folder = None


def parse_record(datagram):
    """The fields of one native journal datagram: name -> list of values."""
    fields, i = {}, 0
    while i < len(datagram):
        end = datagram.index(b"\n", i)
        line = datagram[i:end]
        if b"=" in line:
            name, value = line.split(b"=", 1)
            i = end + 1
        else:  # binary-safe form: name, LF, 64-bit length, value, LF
            name = line
            size = struct.unpack("<Q", datagram[end + 1:end + 9])[0]
            value = datagram[end + 9:end + 9 + size]
            i = end + 9 + size + 1
        fields.setdefault(name.decode(), []).append(value.decode("latin-1"))
    return fields


def setUpModule():
    global backend, gateway, journal, folder
    e2e.require_binary()
    if os.geteuid() != 0 or not shutil.which("unshare"):
        raise unittest.SkipTest("needs root and unshare for a journal socket of its own")
    folder = tempfile.mkdtemp(prefix="brenvik-journal-")
    path = os.path.join(folder, "journal.sock")
    journal = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    journal.bind(path)
    journal.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    journal.settimeout(e2e.IO_TIMEOUT)
    backend = e2e.AioBackend()
    gateway = e2e.Gateway(backend.port, launcher=JOURNAL_LAUNCHER + [path])


def tearDownModule():
    try:
        e2e.stop_pair(backend, gateway)
    finally:
        if journal:
            journal.close()
        shutil.rmtree(folder, ignore_errors=True)


def next_record(wanted):
    """The next record that `wanted` (fields -> bool) takes; others skipped."""
    while True:
        fields = parse_record(journal.recv(1 << 20))
        if wanted(fields):
            return fields


def next_session_record():
    return next_record(lambda fields: "BRENVIK_CLIENT" in fields)


class SessionLineTest(unittest.TestCase):
    def test_one_line_per_session_with_its_fields(self):
        def deferred(c):
            c.expect(b"MAIL FROM:<log@sender.example>", b"451 ")
            c.expect(b"QUIT", b"221 ")

        def delivered(c):
            c.expect(b"MAIL FROM:<log@sender.example>", b"250 ")
            c.expect(b"RCPT TO:<user@example.com>", b"250 ")
            c.expect(b"DATA", b"354 ")
            c.expect(b"Subject: logged\r\n\r\nbody\r\n.", b"250 ")
            c.expect(b"QUIT", b"221 ")

        def refused(c):
            c.expect(b"MAIL FROM:<log@sender.example>", b"250 ")
            c.expect(b"RCPT TO:<v%elsewhere.example@example.com>", b"550 ")

        def aborted(c):
            c.expect(b"MAIL FROM:<log@sender.example>", b"250 ")
            c.close()

        cases = (  # session, decision, accepted, refused, data bytes, end
            (deferred, "greylisted", [], [], "0", "QUIT"),
            (delivered, "passed-on-retry", ["user@example.com"], [], "28", "QUIT"),
            (refused, "passed-on-retry", [], ["v%elsewhere.example@example.com"], "0",
             "refused recipient"),
            (aborted, "passed-on-retry", [], [], "0", "Device I/O error"))
        for session, decision, accepted, refused_rcpt, data_bytes, end in cases:
            with self.subTest(session.__name__):
                c = e2e.RawClient.session(gateway.port, helo=b"EHLO log.client.test")
                self.addCleanup(c.close)
                session(c)
                record = next_session_record()
                self.assertEqual(record["SYSLOG_IDENTIFIER"], ["Brenvik"])
                self.assertEqual(record["PRIORITY"], ["6"])
                self.assertEqual(record["BRENVIK_CLIENT"], [e2e.CLIENT_HOST])
                self.assertEqual(record["BRENVIK_HELO"], ["log.client.test"])
                self.assertEqual(record["BRENVIK_SENDER"], ["LOG@SENDER.EXAMPLE"])
                self.assertEqual(record["BRENVIK_DECISION"], [decision])
                self.assertEqual(record.get("BRENVIK_RCPT_ACCEPTED", []), accepted)
                self.assertEqual(record.get("BRENVIK_RCPT_REFUSED", []), refused_rcpt)
                self.assertEqual(record["BRENVIK_DATA_BYTES"], [data_bytes])
                self.assertEqual(record["BRENVIK_END"], [end])
                self.assertEqual(record["BRENVIK_TLS"], ["no"])
                self.assertTrue(record["BRENVIK_DURATION_MS"][0].isdigit())
                message = record["MESSAGE"][0]
                self.assertTrue(message.startswith("session from %s helo log.client.test: senders "
                                                   "<LOG@SENDER.EXAMPLE> %s;" % (e2e.CLIENT_HOST,
                                                                                 decision)), message)
                self.assertIn("; ended %s after " % end, message)
                if session is delivered:
                    self.assertEqual(record["BRENVIK_DATA_REPLY"], ["250 Message accepted for delivery"])


class ListenerFailureTest(unittest.TestCase):
    def test_the_systems_words_beside_the_event(self):
        busy = socket.socket()
        self.addCleanup(busy.close)
        busy.bind((e2e.RECV_HOST, 0))
        busy.listen(1)
        port = busy.getsockname()[1]
        second = e2e.Gateway(backend.port, settings={"RecvPort": port}, wait_for_listener=False,
                             launcher=JOURNAL_LAUNCHER + [os.path.join(folder, "journal.sock")])
        self.addCleanup(second.cleanup)
        line = "listener on %s:%d: Address already in use" % (e2e.RECV_HOST, port)
        record = next_record(lambda fields: fields.get("MESSAGE") == [line])
        self.assertEqual(record["PRIORITY"], ["6"])
        self.assertNotIn("BRENVIK_EVENT_ID", record)
        # The event itself keeps its text.
        event = next_record(lambda fields: "BRENVIK_EVENT_ID" in fields)
        self.assertIn("Fehlerbeschreibung / Error: ", event["MESSAGE"][0])


if __name__ == "__main__":
    unittest.main()
