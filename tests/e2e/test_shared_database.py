"""Two gateways on one PostgreSQL database (DatabaseServer): a sender deferred
at one passes on its retry at the other, simultaneous first attempts leave
one row, and a stopped server defers senders until it is back."""
import smtplib
import threading
import unittest

import brenvik_e2e as e2e

SECOND_HOST = "127.0.0.4"
pg = backend = first = second = None
conninfo = ""


def setUpModule():
    global pg, backend, first, second, conninfo
    e2e.require_binary()
    pg = e2e.PgServer()
    try:
        conninfo = pg.createdb("shared")
        backend = e2e.AioBackend()
        shared = {"DatabaseServer": conninfo}
        first = e2e.Gateway(backend.port, database=None, settings=shared)
        # The first gateway made the tables; the second reads the lists at its start.
        e2e.psql(conninfo, "INSERT INTO SpamSystem (what, Typ) VALUES ('%s', 1)" % e2e.ACCEPTED_DOMAIN)
        second = e2e.Gateway(backend.port, database=None,
                             settings=dict(shared, RecvHost=SECOND_HOST,
                                           RecvPort=e2e.free_port(SECOND_HOST)))
    except Exception:
        tearDownModule()
        raise


def tearDownModule():
    try:
        for gateway in (first, second):
            if gateway:
                gateway.finish()
    finally:
        if backend:
            backend.stop()
        if pg:
            pg.remove()


def mail_reply(gateway, sender):
    with smtplib.SMTP(gateway.host, gateway.port, local_hostname="client.test",
                      source_address=(e2e.CLIENT_HOST, 0), timeout=e2e.IO_TIMEOUT) as c:
        c.ehlo("client.test")
        reply = c.mail(sender)
        c.docmd("QUIT")
        return reply


def rows(key):
    return e2e.psql(conninfo, "SELECT Email, WieOft FROM Liste WHERE Email = '%s'" % key)


class SharedDatabaseTest(unittest.TestCase):
    def test_retry_at_the_other_gateway_is_delivered(self):
        sender = "moved.retry@example.org"
        self.assertEqual(mail_reply(first, sender), (451, b"Try later..."))
        with smtplib.SMTP(second.host, second.port, local_hostname="client.test",
                          source_address=(e2e.CLIENT_HOST, 0), timeout=e2e.IO_TIMEOUT) as c:
            c.sendmail(sender, ["user@example.com"], b"Subject: moved\r\n\r\nHello.\r\n")
        self.assertTrue(e2e.wait_until(lambda: backend.find(sender)))
        self.assertEqual(rows(sender.upper()), [[sender.upper(), "2"]])

    def test_simultaneous_first_attempts_leave_one_row(self):
        sender = "burst@example.org"
        start = threading.Barrier(8)
        replies = []

        def attempt(gateway):
            start.wait(e2e.IO_TIMEOUT)
            replies.append(mail_reply(gateway, sender)[0])

        threads = [threading.Thread(target=attempt, args=((first, second)[i % 2],)) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(e2e.IO_TIMEOUT)
        self.assertEqual(len(replies), 8)
        self.assertIn(451, replies)
        self.assertEqual(len(rows(sender.upper())), 1)

    def test_stopped_server_defers_everyone_until_it_is_back(self):
        known = "known.before@example.org"
        mail_reply(first, known)
        self.assertEqual(mail_reply(first, known)[0], 250)
        pg.stop()
        try:
            for sender in (known, "new.meanwhile@example.org", known):
                self.assertEqual(mail_reply(first, sender)[0], 451)
        finally:
            pg.start()
        # Reconnects are spaced while the server is away: poll, bounded.
        self.assertTrue(e2e.wait_until(lambda: mail_reply(first, known)[0] == 250, e2e.START_TIMEOUT))
        output = first.stderr_text()
        self.assertEqual(output.count("database server unreachable"), 1, output)
        self.assertEqual(output.count("database server reachable again"), 1, output)


if __name__ == "__main__":
    unittest.main()
