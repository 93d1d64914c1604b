"""One hostile address against the real gateway: its sessions are limited and
spaced without holding up anyone else, the listener rides out a shortage of
descriptors, and a client that trickles is ended by its deadline."""
import os
import select
import subprocess
import unittest

import brenvik_e2e as e2e
from test_shared_database import FAKETIME_LIB, faketime_preload

CLIENT_FULL = b"421 4.7.0 Too many connections from your address"
BUSY = b"421 4.3.2 Service busy, try again later"
SESSIONS_LIMITED = e2e.EVENT_INFO + "Sitzungen begrenzt / sessions limited to "
OUT_OF_DESCRIPTORS = e2e.EVENT_ERROR + "FEHLER: Keine Dateideskriptoren frei"
LISTENER_BROKEN = "Network connection broken"
HOSTILE, OTHER = "127.0.0.1", "127.0.0.4"


def setUpModule():
    e2e.require_binary()


class CountingBackend(e2e.ScriptedBackend):
    """Counts the connections the gateway makes to it."""

    def __init__(self):
        self.connections = 0
        super().__init__()

    def finish_request(self, conn, address):
        with self.lock:
            self.connections += 1
        super().finish_request(conn, address)


class HostileHostTest(unittest.TestCase):
    def start(self, settings, launcher=(), env=None):
        backend = CountingBackend()
        self.addCleanup(backend.stop)
        g = e2e.Gateway(backend.port, settings=settings, launcher=launcher, env=env)
        self.addCleanup(g.finish)
        return backend, g

    def connect(self, g, source, expect=b"220 "):
        c = e2e.RawClient(g.port, source=source)
        self.addCleanup(c.close)
        if expect:
            c.expect(None, expect)
        return c

    def test_limits_are_answered_by_the_gateway_and_others_are_greeted(self):
        backend, g = self.start({"MaxSessionsPerClient": 3, "MaxSessions": 5, "AcceptPause": 300})
        hostile = [self.connect(g, HOSTILE) for _ in range(3)]
        rows = (  # (source, first line expected, closed at once)
            (HOSTILE, CLIENT_FULL, True),
            (OTHER, b"220 ", False),
            (OTHER, b"220 ", False),     # the fifth session: the last place
            ("127.0.0.5", BUSY, True),
            (HOSTILE, CLIENT_FULL, True))
        for source, first, closed in rows:
            with self.subTest(source=source, first=first):
                c = self.connect(g, source, expect=None)
                self.assertTrue(c.read_line().startswith(first))
                if closed:
                    self.assertTrue(c.closed_by_peer())
        self.assertEqual(backend.connections, 5)  # none for the refused ones
        hostile[0].command(b"QUIT")
        self.assertTrue(hostile[0].closed_by_peer())
        again = self.connect(g, HOSTILE)  # its place was given back before the close
        again.command(b"QUIT")
        self.assertNotIn("FEHLER", g.stderr_text())

    def test_descriptors_running_out_pause_the_listener_only_until_one_is_free(self):
        limit = 120
        backend, g = self.start({"AcceptPause": 0, "MaxSessionsPerClient": 100},
                                launcher=["prlimit", "--nofile=%d:%d" % (limit, limit), "--"])
        self.assertTrue(g.wait_for_output(SESSIONS_LIMITED), g.stderr_text())
        cap = int(g.stderr_text().split(SESSIONS_LIMITED)[1].split()[0])
        self.assertIn(" instead of MaxSessions 1000: open-file limit %d" % limit, g.stderr_text())
        sessions = [self.connect(g, HOSTILE) for _ in range(cap)]
        busy = self.connect(g, OTHER, expect=None)
        self.assertEqual(busy.read_line(), BUSY)
        self.assertTrue(busy.closed_by_peer())  # its descriptor is free again
        # The limit counts descriptor numbers: below the lowest free one
        # nothing is left now, though the cap is not reached.
        used = set(int(fd) for fd in os.listdir("/proc/%d/fd" % g.proc.pid))
        lowest_free = min(set(range(len(used) + 1)) - used)
        subprocess.run(["prlimit", "--pid", str(g.proc.pid), "--nofile=%d:%d" % (lowest_free, lowest_free)],
                       check=True)
        waiting = self.connect(g, OTHER, expect=None)
        self.assertTrue(g.wait_for_output(OUT_OF_DESCRIPTORS), g.stderr_text())
        for c in sessions[:2]:  # room for a whole session: client, backend, transcript
            c.command(b"QUIT")
        waiting.sock.settimeout(5)
        self.assertEqual(waiting.read_line()[:4], b"220 ")
        self.assertEqual(g.stderr_text().count(OUT_OF_DESCRIPTORS), 1)
        self.assertNotIn(LISTENER_BROKEN, g.stderr_text())

    def test_trickling_clients_are_ended_by_their_deadlines(self):
        # Ten times the clock: the 90 s client time-out passes in 9 s.
        if not os.path.exists(FAKETIME_LIB):
            raise unittest.SkipTest("libfaketime not installed (package faketime)")
        preload = faketime_preload()
        if "libtsan" in preload:  # a faster clock under ThreadSanitizer's runtime ends in SIGSEGV
            raise unittest.SkipTest("libfaketime's clock rate does not run under ThreadSanitizer")
        backend, g = self.start({}, env={"LD_PRELOAD": preload, "FAKETIME": "+0 x10"})
        before = g.transcript_names()
        command = self.connect(g, OTHER)
        data = self.connect(g, e2e.RELAY_HOST)
        for line, reply in ((b"EHLO relay.test", b"250"), (b"MAIL FROM:<a@example.org>", b"250"),
                            (b"RCPT TO:<b@example.net>", b"250"), (b"DATA", b"354")):
            data.expect(line, reply)
        rows = ((command, b"NOOP NOOP NOOP ", "command line not complete within the client time-out"),
                (data, b"Subject: slow\r\n", "mail data slower than the minimum rate"))
        for i in range(120):  # a byte every 0.3 s, 5 s of the gateway's clock, for at most 36 s
            readable, _, _ = select.select([c.sock for c, _, _ in rows], [], [], 0.3)
            if len(readable) == len(rows):
                break
            for c, piece, _ in rows:
                if c.sock not in readable:
                    c.send(piece[i % len(piece):][:1])
        for c, _, why in rows:
            with self.subTest(why):
                self.assertEqual(c.read_line(), b"421 4.4.2 Timeout, closing connection")
                self.assertTrue(c.closed_by_peer())
        ends = sorted(e2e.transcript_lines(content)[-1] for content in self.transcripts(g, before, 2))
        self.assertEqual(ends, ["ABBRUCH Device timeout: " + why for _, _, why in rows])
        self.assertEqual(backend.received()[1], [])  # no message cut short was delivered

    def transcripts(self, g, before, count):
        def finished():
            names = g.transcript_names() - before
            contents = []
            for name in names:
                with open(os.path.join(g.work, "maillog", name), "rb") as f:
                    contents.append(f.read())
            done = [c for c in contents if b"ABBRUCH" in c]
            return done if len(done) == count else None
        return e2e.wait_until(finished) or []
