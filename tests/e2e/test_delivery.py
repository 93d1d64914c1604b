"""Mail through the gateway to a real SMTP server: greylisting, whitelist,
relay-allowed clients, refused recipients, the transcript and LogTable."""
import smtplib
import unittest

import brenvik_e2e as e2e

backend = gateway = None


def setUpModule():
    global backend, gateway
    backend, gateway = e2e.start_pair(e2e.AioBackend)


def tearDownModule():
    e2e.stop_pair(backend, gateway)


def client(source=e2e.CLIENT_HOST):
    return smtplib.SMTP(e2e.RECV_HOST, gateway.port, local_hostname="client.test",
                        source_address=(source, 0), timeout=e2e.IO_TIMEOUT)


def log_texts(key):
    return [r[1] for r in gateway.db.log_rows() if r[0] == key]


def message(subject, body=b"Hello.\r\n"):
    return (b"From: sender@example.org\r\nTo: user@example.com\r\nSubject: " + subject +
            b"\r\n\r\n" + body)


def lines_after(before, count):
    return e2e.transcript_lines(gateway.new_transcript(
        before, ends_with=lambda t: t.count(b"\r\n") == count))


class GreylistingTest(unittest.TestCase):
    def test_first_attempt_deferred_and_retry_delivered_unchanged(self):
        sender = "first.retry@example.org"
        key = sender.upper()
        before = gateway.transcript_names()
        with client() as c:
            c.ehlo("client.test")
            self.assertEqual(c.mail(sender), (451, b"Try later..."))
            # The refusal ends with one line end: the next reply is in step.
            self.assertEqual(c.noop()[0], 250)
            self.assertEqual(c.docmd("QUIT")[0], 221)
            c.close()
        self.assertEqual(lines_after(before, 8), [
            "ehlo client.test", "250 HELP", "mail FROM:<%s>" % sender, "451 Try later...",
            "noop", "250 OK", "QUIT", "221 Bye"])
        [(email, wie_oft, ip, last_edit, first_mail, second_mail, _)] = gateway.db.liste(key)
        self.assertEqual((email, wie_oft, ip, second_mail), (key, 1, e2e.CLIENT_HOST, None))
        self.assertRegex(first_mail, e2e.DATE_TIME)
        self.assertEqual(last_edit, first_mail)

        body = message(b"retry", b"line one\r\n.leading dot\r\n\r\nlast line\r\n")
        before = gateway.transcript_names()
        with client() as c:
            self.assertEqual(c.sendmail(sender, ["User@Example.com"], body), {})
        transcript = lines_after(before, 10)
        self.assertEqual(transcript[:7], [
            "ehlo client.test", "250 HELP", "mail FROM:<%s> size=%d" % (sender, len(body)),
            "250 OK", "rcpt TO:<User@Example.com>", "250 OK", "data"])
        self.assertEqual([t[:4] for t in transcript[7:]], ["354 ", "QUIT", "221 "])
        self.assertEqual([d[1:3] for d in backend.find(sender)],
                         [(["User@Example.com"], body)])
        [row] = gateway.db.liste(key)
        self.assertEqual(row[1], 2)
        self.assertRegex(row[5], e2e.DATE_TIME)
        self.assertTrue(e2e.wait_until(lambda: len(log_texts(key)) >= 2))
        logged = [r for r in gateway.db.log_rows() if r[0] == key]
        self.assertEqual([r[:3] for r in logged],
                         [(key, "Try Later", e2e.CLIENT_HOST), (key, "OK", e2e.CLIENT_HOST)])
        for row in logged:
            self.assertRegex(row[3], e2e.DATE_TIME)

    def test_sender_key_is_the_address_stored_unchanged(self):
        quoted = "\"o'hara'); DELETE FROM Liste; --\"@example.org"
        for first, retry in (("<sized@example.org> SIZE=100",
                              "<sized@example.org> SIZE=2000 BODY=8BITMIME"),
                             ("<%s>" % quoted, "<%s>" % quoted)):
            key = first[1:first.index(">")].upper()
            with self.subTest(key=key), client() as c:
                c.ehlo("client.test")
                self.assertEqual(c.docmd("MAIL FROM:" + first), (451, b"Try later..."))
                self.assertEqual(c.docmd("MAIL FROM:" + retry)[0], 250)
                self.assertEqual(c.rcpt("user@example.com")[0], 250)
                self.assertEqual(c.data(message(b"key"))[0], 250)
                self.assertEqual([r[:3] for r in gateway.db.liste(key)],
                                 [(key, 2, e2e.CLIENT_HOST)])
                self.assertTrue(e2e.wait_until(lambda: log_texts(key) == ["Try Later", "OK"]))
        self.assertIn("@TRUSTED.EXAMPLE", [r[0].upper() for r in gateway.db.liste()])

    def test_mail_passing_at_once_arrives_unchanged(self):
        octets = bytes(b for b in range(256) if b not in (10, 13))
        line = b"".join(b"%07d " % i for i in range(9)) + b"\r\n"
        cases = (  # sender, client address, recipient, body, logged as
            ("Boss@TRUSTED.example", e2e.CLIENT_HOST, "user@example.com",
             message(b"whitelisted"), ["OK"]),
            ("outbound@example.com", e2e.RELAY_HOST, "someone@elsewhere.example",
             message(b"outbound"), []),
            ("large@trusted.example", e2e.CLIENT_HOST, "user@example.com",
             message(b"large", line * (3_000_000 // len(line))), ["OK"]),
            ("binary@trusted.example", e2e.CLIENT_HOST, "user@example.com",
             message(b"binary", b"A" * 70_000 + b"\r\n" + octets * 20 + b"\r\n\x00\r\n" +
                     b"." + octets + b"\r\n"), ["OK"]))
        for sender, source, recipient, body, logged in cases:
            with self.subTest(sender=sender), client(source) as c:
                self.assertEqual(c.sendmail(sender, [recipient], body), {})
                delivered = backend.find(sender)
                self.assertEqual(len(delivered), 1)
                self.assertEqual(delivered[0][1], [recipient])
                self.assertTrue(delivered[0][2] == body)  # no diff of megabytes
                self.assertEqual(gateway.db.liste(sender.upper()), [])
                if logged:
                    self.assertTrue(e2e.wait_until(lambda: log_texts(sender.upper()) == logged))
                else:
                    self.assertEqual(log_texts(sender.upper()), [])


class RecipientTest(unittest.TestCase):
    def test_recipient_outside_the_domains_ends_the_session(self):
        for line in (b"RCPT TO:<victim@elsewhere.example>",
                     b"RCPT TO:<victim@elsewhere.example> X=@EXAMPLE.COM",
                     b"RCPT TO:<@example.com:victim@elsewhere.example>",
                     b"RCPT TO:<victim@example.com.elsewhere.example>"):
            with self.subTest(line=line):
                before = gateway.transcript_names()
                c = e2e.RawClient.session(gateway.port)
                try:
                    c.expect(b"MAIL FROM:<someone@trusted.example>", b"250 ")
                    c.expect(b"RCPT TO:<user@example.com>", b"250 ")
                    self.assertEqual(c.command(line), [b"550 Relaying is prohibited"])
                    self.assertTrue(c.closed_by_peer())
                finally:
                    c.close()
                transcript = e2e.transcript_lines(
                    gateway.new_transcript(before, ends_with=b"ABBRUCH No Error\r\n"))
                self.assertEqual(transcript[-3:], [line.decode(), "550 Relaying is prohibited",
                                                   "ABBRUCH No Error"])


class ClientInputTest(unittest.TestCase):
    def test_ehlo_answer_reaches_the_client_whole(self):
        with smtplib.SMTP(e2e.BACKEND_HOST, backend.port, timeout=e2e.IO_TIMEOUT) as direct:
            direct.ehlo("client.test")
            expected = direct.ehlo_resp
        with client() as c:
            self.assertEqual(c.ehlo("client.test"), (250, expected))
        self.assertIn(b"\nSIZE", expected)

    def test_malformed_commands_get_an_answer(self):
        c = e2e.RawClient.session(gateway.port)
        self.addCleanup(c.close)
        # Each one line, one answer of the gateway's own; none is forwarded.
        unknown = b"500 5.5.2 Syntax error, command unrecognized"
        for line, answer in ((b"NOOP \x00\x00", unknown), (b"NOOP \xff\xfe\x80\x01\x1b", unknown),
                             (b"MAIL FROM:<nul\x00byte@example.org>", unknown),
                             (b"NOOP " + b"x" * 70_000, b"500 5.5.2 Line too long")):
            self.assertEqual(c.command(line), [answer], line[:20])
        # Bytes above 0x7F are no control bytes: the backend answers that one.
        self.assertNotEqual(c.command(b"NOOP \xff\xfe\x80"), [unknown])
        c.expect(b"QUIT", b"221 ")
        self.assertIn("@TRUSTED.EXAMPLE", [r[0].upper() for r in gateway.db.liste()])


if __name__ == "__main__":
    unittest.main()
