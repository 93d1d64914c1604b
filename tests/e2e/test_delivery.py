"""Mail through the gateway to a real SMTP server: greylisting, whitelist,
relay-allowed clients, refused recipients, the transcript and LogTable."""
import smtplib
import unittest

import brenvik_e2e as e2e

backend = None
gateway = None


def setUpModule():
    global backend, gateway
    e2e.require_binary()
    backend = e2e.AioBackend()
    try:
        gateway = e2e.Gateway(backend.port)
    except Exception:
        backend.stop()
        raise


def tearDownModule():
    try:
        if gateway:
            gateway.finish()
    finally:
        if backend:
            backend.stop()


def client(source=e2e.CLIENT_HOST):
    return smtplib.SMTP(e2e.RECV_HOST, gateway.port, local_hostname="client.test",
                        source_address=(source, 0), timeout=e2e.IO_TIMEOUT)


def log_rows_of(email, count):
    """The LogTable rows of one e-mail once there are `count` of them."""
    rows = [r for r in gateway.db.log_rows() if r[0] == email]
    return rows if len(rows) >= count else None


def message(subject, body=b"Hello.\r\n"):
    return (b"From: sender@example.org\r\nTo: user@example.com\r\nSubject: " + subject +
            b"\r\n\r\n" + body)


class GreylistingTest(unittest.TestCase):
    def test_first_attempt_deferred_and_retry_delivered_unchanged(self):
        sender = "first.retry@example.org"
        before = gateway.transcript_names()
        with client() as c:
            c.ehlo("client.test")
            self.assertEqual(c.mail(sender), (451, b"Try later..."))
            # The refusal ends with one line end: the next reply is in step.
            self.assertEqual(c.noop()[0], 250)
            code, _ = c.docmd("QUIT")
            self.assertEqual(code, 221)
            c.close()
        transcript = e2e.transcript_lines(gateway.new_transcript(
            before, ends_with=lambda t: t.count(b"\r\n") == 8))
        self.assertEqual(transcript[0], "ehlo client.test")
        self.assertEqual(transcript[1], "250 HELP")
        self.assertEqual(transcript[2:5], ["mail FROM:<%s>" % sender, "451 Try later...", "noop"])
        self.assertEqual(transcript[5][:4], "250 ")
        self.assertEqual(transcript[6], "QUIT")
        self.assertEqual(transcript[7][:4], "221 ")
        self.assertEqual(len(transcript), 8)

        key = sender.upper()
        rows = gateway.db.liste(key)
        self.assertEqual(len(rows), 1)
        email, wie_oft, ip, last_edit, first_mail, second_mail, _ = rows[0]
        self.assertEqual((email, wie_oft, ip, second_mail), (key, 1, e2e.CLIENT_HOST, None))
        self.assertRegex(first_mail, e2e.DATE_TIME)
        self.assertEqual(last_edit, first_mail)

        body = message(b"retry", b"line one\r\n.leading dot\r\n\r\nlast line\r\n")
        before = gateway.transcript_names()
        with client() as c:
            refused = c.sendmail(sender, ["User@Example.com"], body)
            self.assertEqual(refused, {})
        transcript = e2e.transcript_lines(gateway.new_transcript(
            before, ends_with=lambda t: t.count(b"\r\n") == 10))
        self.assertEqual(transcript[0:2], ["ehlo client.test", "250 HELP"])
        self.assertEqual(transcript[2], "mail FROM:<%s> size=%d" % (sender, len(body)))
        self.assertEqual(transcript[3:6], ["250 OK", "rcpt TO:<User@Example.com>", "250 OK"])
        self.assertEqual(transcript[6], "data")
        self.assertEqual(transcript[7][:4], "354 ")
        self.assertEqual(transcript[8], "QUIT")
        self.assertEqual(transcript[9][:4], "221 ")
        delivered = backend.handler.find(sender)
        self.assertEqual(len(delivered), 1)
        self.assertEqual(delivered[0][1], ["User@Example.com"])
        self.assertEqual(delivered[0][2], body)
        rows = gateway.db.liste(key)
        self.assertEqual(len(rows), 1)
        self.assertEqual(rows[0][1], 2)
        self.assertRegex(rows[0][5], e2e.DATE_TIME)

        logged = e2e.wait_until(lambda: log_rows_of(key, 2))
        self.assertIsNotNone(logged)
        self.assertEqual([r[:3] for r in logged],
                         [(key, "Try Later", e2e.CLIENT_HOST), (key, "OK", e2e.CLIENT_HOST)])
        for row in logged:
            self.assertRegex(row[3], e2e.DATE_TIME)

    def test_parameters_after_the_address_keep_one_key(self):
        sender = "sized@example.org"
        with client() as c:
            c.ehlo("client.test")
            self.assertEqual(c.mail(sender, ["SIZE=100"])[0], 451)
            self.assertEqual(c.mail(sender, ["SIZE=2000", "BODY=8BITMIME"])[0], 250)
            self.assertEqual(c.rcpt("user@example.com")[0], 250)
            self.assertEqual(c.data(message(b"sized"))[0], 250)
        rows = gateway.db.liste()
        self.assertEqual([r[:2] for r in rows if "SIZED" in r[0]], [("SIZED@EXAMPLE.ORG", 2)])

    def test_whitelisted_domain_passes_at_once_without_a_row(self):
        sender = "Boss@TRUSTED.example"
        body = message(b"whitelisted")
        with client() as c:
            self.assertEqual(c.sendmail(sender, ["user@example.com"], body), {})
        self.assertEqual(backend.handler.find(sender)[0][2], body)
        self.assertEqual(gateway.db.liste(sender.upper()), [])
        self.assertTrue(e2e.wait_until(
            lambda: (sender.upper(), "OK", e2e.CLIENT_HOST) in [r[:3] for r in gateway.db.log_rows()]))

    def test_relay_allowed_client_is_neither_greylisted_nor_refused(self):
        sender = "outbound@example.com"
        body = message(b"outbound")
        with client(e2e.RELAY_HOST) as c:
            self.assertEqual(c.sendmail(sender, ["someone@elsewhere.example"], body), {})
        delivered = backend.handler.find(sender)
        self.assertEqual(len(delivered), 1)
        self.assertEqual(delivered[0][1:3], (["someone@elsewhere.example"], body))
        self.assertEqual(gateway.db.liste(sender.upper()), [])
        self.assertEqual([r for r in gateway.db.log_rows() if r[0] == sender.upper()], [])

    def test_sender_with_quotes_and_sql_is_stored_unchanged(self):
        sender = "\"o'hara'); DELETE FROM Liste; --\"@example.org"
        key = sender.upper()
        mail = "MAIL FROM:<%s>" % sender
        with client() as c:
            c.ehlo("client.test")
            self.assertEqual(c.docmd(mail), (451, b"Try later..."))
            self.assertEqual(c.docmd(mail)[0], 250)
            self.assertEqual(c.rcpt("user@example.com")[0], 250)
            self.assertEqual(c.data(message(b"quotes"))[0], 250)
        self.assertEqual(backend.handler.find(sender)[0][1], ["user@example.com"])
        rows = gateway.db.liste(key)
        self.assertEqual([r[:3] for r in rows], [(key, 2, e2e.CLIENT_HOST)])
        self.assertIn("@TRUSTED.EXAMPLE", [r[0].upper() for r in gateway.db.liste()])
        self.assertTrue(gateway.db.tables() >= {"Liste", "LogTable", "SpamSystem", "Statistik"})
        self.assertTrue(e2e.wait_until(
            lambda: [r[1] for r in gateway.db.log_rows() if r[0] == key] == ["Try Later", "OK"]))


class RecipientTest(unittest.TestCase):
    def refused(self, recipient_line):
        """Sends a whitelisted MAIL and then the RCPT line; returns the
        gateway's answer and the transcript."""
        before = gateway.transcript_names()
        c = e2e.RawClient(gateway.port)
        try:
            self.assertEqual(c.read_reply()[-1][:4], b"220 ")
            c.send(b"HELO client.test\r\n")
            self.assertEqual(c.read_reply()[-1][:4], b"250 ")
            c.send(b"MAIL FROM:<someone@trusted.example>\r\n")
            self.assertEqual(c.read_reply()[-1][:4], b"250 ")
            c.send(b"RCPT TO:<user@example.com>\r\n")
            self.assertEqual(c.read_reply()[-1][:4], b"250 ")
            c.send(recipient_line + b"\r\n")
            reply = c.read_reply()
            closed = c.closed_by_peer()
        finally:
            c.close()
        transcript = e2e.transcript_lines(
            gateway.new_transcript(before, ends_with=b"ABBRUCH No Error\r\n"))
        return reply, closed, transcript

    def test_recipient_outside_the_domains_ends_the_session(self):
        reply, closed, transcript = self.refused(b"RCPT TO:<victim@elsewhere.example>")
        self.assertEqual(reply, [b"550 Relaying is prohibited"])
        self.assertTrue(closed)
        self.assertEqual(transcript[-3:], ["RCPT TO:<victim@elsewhere.example>",
                                           "550 Relaying is prohibited", "ABBRUCH No Error"])

    def test_domain_named_only_in_a_parameter_or_route_is_refused(self):
        for line in (b"RCPT TO:<victim@elsewhere.example> X=@EXAMPLE.COM",
                     b"RCPT TO:<@example.com:victim@elsewhere.example>",
                     b"RCPT TO:<victim@example.com.elsewhere.example>"):
            reply, closed, _ = self.refused(line)
            self.assertEqual(reply, [b"550 Relaying is prohibited"], line)
            self.assertTrue(closed, line)


class MultiLineReplyTest(unittest.TestCase):
    def test_ehlo_answer_reaches_the_client_whole(self):
        with smtplib.SMTP(e2e.BACKEND_HOST, backend.port, timeout=e2e.IO_TIMEOUT) as direct:
            direct.ehlo("client.test")
            expected = direct.ehlo_resp
        with client() as c:
            code, answer = c.ehlo("client.test")
        self.assertEqual(code, 250)
        self.assertEqual(answer, expected)
        self.assertIn(b"\nSIZE", answer)


class LargeMessageTest(unittest.TestCase):
    def test_message_of_several_megabytes_arrives_unchanged(self):
        line = b"".join(b"%07d " % i for i in range(9)) + b"\r\n"
        body = message(b"large", line * (3_000_000 // len(line)))
        sender = "large@trusted.example"
        with client() as c:
            self.assertEqual(c.sendmail(sender, ["user@example.com"], body), {})
        delivered = backend.handler.find(sender)
        self.assertEqual(len(delivered), 1)
        self.assertEqual(len(delivered[0][2]), len(body))
        self.assertTrue(delivered[0][2] == body)


class MalformedInputTest(unittest.TestCase):
    def raw(self):
        c = e2e.RawClient(gateway.port)
        self.addCleanup(c.close)
        self.assertEqual(c.read_reply()[-1][:4], b"220 ")
        c.send(b"HELO client.test\r\n")
        self.assertEqual(c.read_reply()[-1][:4], b"250 ")
        return c

    def assert_reply(self, reply):
        self.assertTrue(reply, "no answer")
        self.assertRegex(reply[-1], rb"^[2-5][0-9][0-9] ")

    def quit(self, c):
        """QUIT is answered with 221, after at most two stray answers."""
        c.send(b"QUIT\r\n")
        for _ in range(3):
            reply = c.read_reply()
            self.assert_reply(reply)
            if reply[-1].startswith(b"221 "):
                return
        self.fail("QUIT not answered")

    def test_command_line_of_70000_bytes_gets_an_answer(self):
        c = self.raw()
        c.send(b"NOOP " + b"x" * 70_000 + b"\r\n")
        reply = c.read_reply()
        self.assert_reply(reply)
        self.assertTrue(reply[-1].startswith(b"5"), reply)
        self.quit(c)

    def test_nul_and_binary_bytes_in_commands_get_answers(self):
        c = self.raw()
        c.send(b"NOOP \x00\x00\r\n")
        self.assert_reply(c.read_reply())
        c.send(b"NOOP \xff\xfe\x80\x01\x1b\r\n")
        self.assert_reply(c.read_reply())
        c.send(b"MAIL FROM:<nul\x00byte@example.org>\r\n")
        self.assertEqual(c.read_reply(), [b"451 Try later..."])
        self.quit(c)
        self.assertIn("@TRUSTED.EXAMPLE", [r[0].upper() for r in gateway.db.liste()])

    def test_long_lines_nul_and_binary_data_arrive_unchanged(self):
        octets = bytes(b for b in range(256) if b not in (10, 13))
        body = message(b"binary", b"A" * 70_000 + b"\r\n" + octets * 20 + b"\r\n\x00\r\n" +
                       b"." + octets + b"\r\n")
        sender = "binary@trusted.example"
        with client() as c:
            self.assertEqual(c.sendmail(sender, ["user@example.com"], body), {})
        delivered = backend.handler.find(sender)
        self.assertEqual(len(delivered), 1)
        self.assertTrue(delivered[0][2] == body)


if __name__ == "__main__":
    unittest.main()
