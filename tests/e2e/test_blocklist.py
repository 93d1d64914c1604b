"""The blocklist asked through a real DNS server of the test's own
(dns_server.py): answers read as RFC 5782 says, a broken or hanging list
suspended by its test entries, answers kept for their TTL."""
import time
import unittest

import brenvik_e2e as e2e
from dns_server import HANG, NXDOMAIN, DnsServer

ZONE = "bl.spamcop.net"
LISTED_TEST, UNLISTED_TEST = "2.0.0.127." + ZONE, "1.0.0.127." + ZONE
LISTED, ERROR_ANSWER, ERROR_ANSWER_TOO, HANGING = "127.0.0.6", "127.0.0.7", "127.0.0.9", "127.0.0.8"
QUERY_TIMEOUT = 3.0  # seconds, the gateway's
EVENT = e2e.EVENT_ERROR + "FEHLER: Blocklist " + ZONE
ERROR_EVENT = EVENT + " antwortet mit Fehlercode, nicht gelistet / answers with an error code, not listed: "
SUSPENDED = EVENT + " ausgesetzt / not consulted: test entry 127.0.0.2 not listed: "


def query_name(ip):
    return ".".join(reversed(ip.split("."))) + "." + ZONE


def healthy(name):
    return {LISTED_TEST: ["127.0.0.2"], query_name(LISTED): ["127.0.0.2"],
            query_name(ERROR_ANSWER): ["127.255.255.254"], query_name(ERROR_ANSWER_TOO): ["127.255.255.254"],
            query_name(HANGING): HANG}.get(name, NXDOMAIN)


def setUpModule():
    e2e.require_binary()


class BlocklistTest(unittest.TestCase):
    def start(self, answer):
        dns = DnsServer(answer)
        self.addCleanup(dns.stop)
        backend = e2e.AioBackend()
        self.addCleanup(backend.stop)
        g = e2e.Gateway(backend.port, settings={"CheckBadMailAdr": 1, "BlocklistDnsServer": dns.address,
                                                "AcceptPause": 0})
        self.addCleanup(g.finish)
        return dns, g

    def retry(self, g, source, sender):
        """The final reply to a sender's retry after its deferral, and the
        seconds it took."""
        c = e2e.RawClient.session(g.port, source=source)
        self.addCleanup(c.close)
        mail = b"MAIL FROM:<%s>" % sender.encode()
        c.expect(mail, b"451 ")
        c.expect(b"RSET", b"250 ")
        started = time.monotonic()
        reply = c.command(mail)[-1]
        return reply, time.monotonic() - started

    def test_only_a_listing_refuses_and_answers_are_kept_for_their_ttl(self):
        dns, g = self.start(healthy)
        self.assertTrue(e2e.wait_until(lambda: dns.count(LISTED_TEST) and dns.count(UNLISTED_TEST)))
        rows = ((LISTED, b"451 "), (ERROR_ANSWER, b"250 "), (ERROR_ANSWER_TOO, b"250 "),
                (e2e.CLIENT_HOST, b"250 "), (HANGING, b"250 "))
        for source, expected in rows:
            with self.subTest(source):
                reply, seconds = self.retry(g, source, "first@%s.example" % source.replace(".", "-"))
                self.assertTrue(reply.startswith(expected), reply)
                self.assertLess(seconds, QUERY_TIMEOUT + 1.0)
        # A retry of another sender from the listed client is answered from the cache.
        self.assertTrue(self.retry(g, LISTED, "second@sender.example")[0].startswith(b"451 "))
        self.assertEqual(dns.count(query_name(LISTED)), 1)
        self.assertEqual(g.stderr_text().count(ERROR_EVENT), 1, g.stderr_text())  # at most hourly
        self.assertIn(ERROR_EVENT + "127.255.255.254 (%s)" % query_name(ERROR_ANSWER), g.stderr_text())
        self.assertNotIn("not consulted", g.stderr_text())

    def test_a_parked_or_hanging_list_is_not_consulted(self):
        rows = (("parked under a wildcard", lambda name: ["198.51.100.7"], "198.51.100.7"),
                ("hanging", lambda name: HANG, "no answer in time"))
        for why, answer, reason in rows:
            with self.subTest(why):
                dns, g = self.start(answer)
                self.assertTrue(g.wait_for_output(SUSPENDED + reason), g.stderr_text())
                reply, seconds = self.retry(g, LISTED, "sender@parked.example")
                self.assertTrue(reply.startswith(b"250 "), reply)
                self.assertLess(seconds, QUERY_TIMEOUT)
                self.assertEqual(dns.count(query_name(LISTED)), 0)
                self.assertEqual(g.stderr_text().count(EVENT), 1, g.stderr_text())
