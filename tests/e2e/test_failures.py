"""What the gateway reports when it cannot work: a backend that is down, a
missing database, too many list entries, a receive port already taken."""
import os
import socket
import unittest

import brenvik_e2e as e2e

DB_ERROR = ("FEHLER: Datenbankverbindung konnte nicht erstellt werden. Start abgebrochen / "
            "no database connection")
TOO_MANY_DOMAINS = "FEHLER: Zu viele Mail Domains, maximal 100"
TOO_MANY_RELAYS = "FEHLER: Zu viele Relay IP Adressen, maximal 100"
LISTENER_BROKEN = ("FEHLER: Netzwerkverbindung unterbrochen. Network connection broken, "
                   "Fehlerbeschreibung / Error: ")
STARTED = "Service wurde gestartet / service started"


def setUpModule():
    e2e.require_binary()


class GatewayCase(unittest.TestCase):
    def start(self, **kwargs):
        g = e2e.Gateway(**kwargs)
        self.addCleanup(g.finish)
        return g

    def assert_stays_up_without_listener(self, g):
        """The process keeps running (a stop brings it back) but listens nowhere."""
        self.assertTrue(g.running(), g.stderr_text())
        self.assertFalse(e2e.is_listening(e2e.RECV_HOST, g.port))
        self.assertEqual(g.stop(), 0, g.stderr_text())


class BackendDownTest(GatewayCase):
    def test_client_is_told_and_the_transcript_says_why(self):
        g = self.start(backend_port=e2e.free_port(e2e.BACKEND_HOST))
        self.assertIn(e2e.EVENT_INFO + STARTED, g.stderr_text())
        before = g.transcript_names()
        c = e2e.RawClient(g.port)
        try:
            self.assertEqual(c.read_reply(), [b"421 Error MailserverDevice I/O error"])
            self.assertTrue(c.closed_by_peer())
        finally:
            c.close()
        self.assertEqual(e2e.transcript_lines(g.new_transcript(before, ends_with=b"\r\n")),
                         ["Fehler beim OPEN Weiterleitungsserver"])


class StartFailureTest(GatewayCase):
    def test_not_a_database_is_reported_and_left_untouched(self):
        content = b"This is a text file, not a database.\r\n" * 40
        g = self.start(backend_port=e2e.free_port(e2e.BACKEND_HOST), database_bytes=content,
                       wait_for_listener=False)
        self.assertTrue(g.wait_for_output(e2e.EVENT_ERROR + DB_ERROR), g.stderr_text())
        self.assert_stays_up_without_listener(g)
        with open(g.db.path, "rb") as f:
            self.assertEqual(f.read(), content)

    def test_hundred_and_one_domains_stop_the_worker(self):
        domains = ["@domain%03d.example" % i for i in range(101)]
        g = self.start(backend_port=e2e.free_port(e2e.BACKEND_HOST), domains=domains,
                       wait_for_listener=False)
        self.assertTrue(g.wait_for_output(e2e.EVENT_ERROR + TOO_MANY_DOMAINS), g.stderr_text())
        self.assert_stays_up_without_listener(g)

    def test_hundred_and_one_relay_addresses_stop_the_worker(self):
        relays = ["10.0.%d.%d" % (i // 250, i % 250) for i in range(101)]
        g = self.start(backend_port=e2e.free_port(e2e.BACKEND_HOST), relays=relays,
                       wait_for_listener=False)
        self.assertTrue(g.wait_for_output(e2e.EVENT_ERROR + TOO_MANY_RELAYS), g.stderr_text())
        self.assert_stays_up_without_listener(g)

    def test_hundred_domains_and_relays_are_served(self):
        domains = ["@domain%03d.example" % i for i in range(99)] + [e2e.ACCEPTED_DOMAIN]
        relays = ["10.1.0.%d" % i for i in range(99)] + [e2e.RELAY_HOST]
        backend = e2e.AioBackend()
        self.addCleanup(backend.stop)
        g = self.start(backend_port=backend.port, domains=domains, relays=relays)
        c = e2e.RawClient(g.port, source=e2e.RELAY_HOST)
        try:
            self.assertEqual(c.read_reply()[-1][:4], b"220 ")
            c.send(b"HELO client.test\r\nMAIL FROM:<new@example.org>\r\n")
            self.assertEqual(c.read_reply()[-1][:4], b"250 ")
            self.assertEqual(c.read_reply()[-1][:4], b"250 ")
        finally:
            c.close()
        self.assertNotIn("FEHLER", g.stderr_text())

    def test_receive_port_in_use_is_reported(self):
        port = e2e.free_port(e2e.RECV_HOST)
        holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(holder.close)
        holder.bind((e2e.RECV_HOST, port))
        holder.listen(1)
        g = self.start(backend_port=e2e.free_port(e2e.BACKEND_HOST),
                       settings={"RecvPort": port}, wait_for_listener=False)
        self.assertTrue(g.wait_for_output(e2e.EVENT_ERROR + LISTENER_BROKEN), g.stderr_text())
        line = [l for l in g.stderr_text().splitlines() if LISTENER_BROKEN in l][0]
        self.assertIn(line.split(LISTENER_BROKEN, 1)[1],
                      ("Device I/O error", "Device timeout", "Permission denied",
                       "Bad file name or number"))
        self.assertTrue(g.running())
        self.assertEqual(g.stop(), 0, g.stderr_text())


if __name__ == "__main__":
    unittest.main()
