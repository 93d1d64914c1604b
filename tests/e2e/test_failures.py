"""What the gateway reports when it cannot start serving: a missing database,
too many list entries, a backend that is the gateway itself, a receive port
already taken."""
import socket
import unittest

import brenvik_e2e as e2e

DB_ERROR = ("FEHLER: Datenbankverbindung konnte nicht erstellt werden. Start abgebrochen / "
            "no database connection")
LISTENER_BROKEN = ("FEHLER: Netzwerkverbindung unterbrochen. Network connection broken, "
                   "Fehlerbeschreibung / Error: ")


def setUpModule():
    e2e.require_binary()


class StartFailureTest(unittest.TestCase):
    def start(self, **kwargs):
        g = e2e.Gateway(backend_port=kwargs.pop("backend_port", e2e.free_port(e2e.BACKEND_HOST)),
                        **kwargs)
        self.addCleanup(g.finish)
        return g

    def test_worker_stops_but_the_process_stays_up(self):
        not_a_database = b"This is a text file, not a database.\r\n" * 40
        own = e2e.free_port(e2e.RECV_HOST)
        cases = (
            ("FEHLER: Weiterleitungsserver ist dieses Gateway selbst, Start abgebrochen / the mail "
             "server to relay to is this gateway's own listener: localhost:%d" % own,
             {"settings": {"RecvHost": "127.0.0.1", "RecvPort": own, "SendHost": "localhost",
                           "SendPort": own}}),
            (DB_ERROR, {"database": not_a_database}),
            ("FEHLER: Zu viele Mail Domains, maximal 100",
             {"domains": ["@domain%03d.example" % i for i in range(101)]}),
            ("FEHLER: Zu viele Relay IP Adressen, maximal 100",
             {"relays": ["10.0.%d.%d" % (i // 250, i % 250) for i in range(101)]}))
        for event, options in cases:
            with self.subTest(event):
                g = self.start(wait_for_listener=False, **options)
                self.assertTrue(g.wait_for_output(e2e.EVENT_ERROR + event), g.stderr_text())
                self.assertTrue(g.running(), g.stderr_text())
                self.assertFalse(e2e.is_listening(e2e.RECV_HOST, g.port))
                self.assertFalse(e2e.is_listening("127.0.0.1", g.port))
                self.assertEqual(g.stop(), 0, g.stderr_text())
                if "database" in options:  # left as it was
                    with open(g.db.path, "rb") as f:
                        self.assertEqual(f.read(), not_a_database)

    def test_hundred_domains_and_relays_are_served(self):
        domains = ["@domain%03d.example" % i for i in range(99)] + [e2e.ACCEPTED_DOMAIN]
        relays = ["10.1.0.%d" % i for i in range(99)] + [e2e.RELAY_HOST]
        backend = e2e.AioBackend()
        self.addCleanup(backend.stop)
        g = self.start(backend_port=backend.port, domains=domains, relays=relays)
        c = e2e.RawClient.session(g.port, source=e2e.RELAY_HOST)
        self.addCleanup(c.close)
        c.expect(b"MAIL FROM:<new@example.org>", b"250 ")
        self.assertNotIn("FEHLER", g.stderr_text())

    def test_list_rows_that_are_no_domain_are_left_out(self):
        # A NULL would read as the empty entry, which accepts every recipient.
        backend = e2e.AioBackend()
        self.addCleanup(backend.stop)
        g = self.start(backend_port=backend.port, domains=[None, b"@b\xe4cker.example", e2e.ACCEPTED_DOMAIN])
        for event in ("FEHLER: Listeneintrag ohne Text ignoriert / list row without text ignored: SpamSystem Typ 1",
                      "FEHLER: Mail Domain ignoriert / mail domain does not convert, ignored: @b\xe4cker.example"):
            self.assertTrue(g.wait_for_output(e2e.EVENT_ERROR + event), g.stderr_text())
        c = e2e.RawClient.session(g.port)
        self.addCleanup(c.close)
        c.expect(b"MAIL FROM:<new@trusted.example>", b"250 ")
        c.expect(b"RCPT TO:<v" + e2e.ACCEPTED_DOMAIN.encode() + b">", b"250 ")
        c.expect(b"RCPT TO:<v@elsewhere.example>", b"550 Relaying is prohibited")

    def test_receive_port_in_use_is_reported(self):
        port = e2e.free_port(e2e.RECV_HOST)
        holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(holder.close)
        holder.bind((e2e.RECV_HOST, port))
        holder.listen(1)
        g = self.start(settings={"RecvPort": port}, wait_for_listener=False)
        self.assertTrue(g.wait_for_output(e2e.EVENT_ERROR + LISTENER_BROKEN), g.stderr_text())
        line = [l for l in g.stderr_text().splitlines() if LISTENER_BROKEN in l][0]
        self.assertIn(line.split(LISTENER_BROKEN, 1)[1],
                      ("Device I/O error", "Device timeout", "Permission denied",
                       "Bad file name or number"))
        self.assertTrue(g.running())
        self.assertEqual(g.stop(), 0, g.stderr_text())


if __name__ == "__main__":
    unittest.main()
