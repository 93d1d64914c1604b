"""The gateway in front of a real Postfix that trusts it (relays anything for
127.0.0.0/8, offers AUTH and SMTPUTF8): no recipient outside the accepted
domains gets through in any spelling or script, no command but those a relay
must carry reaches Postfix, and no transaction can be smuggled inside the
mail data."""
import collections
import os
import re
import shutil
import smtplib
import subprocess
import tempfile
import threading
import time
import unittest

import brenvik_e2e as e2e
import postfix_backend as pf

RELAYING = [b"550 Relaying is prohibited"]
TRY_LATER = [b"451 Try later..."]
TOO_MANY_ERRORS = [b"421 4.7.0 Too many errors"]
SYNTAX = [b"500 5.5.2 Syntax error, command unrecognized"]
NOT_IMPLEMENTED = [b"502 5.5.1 Command not implemented"]
SENDER = b"tester@sender.example"  # passes greylisting in setUpModule
CONTROL = "control@elsewhere.example"  # sent to Postfix directly, not through the gateway
SESSION_TIMEOUT = 10.0
HIDDEN_EXTENSIONS = {b"STARTTLS", b"CHUNKING", b"PIPELINING", b"BINARYMIME", b"XCLIENT",
                     b"XFORWARD", b"AUTH", b"ETRN"}
# Accepted beside accepted.example, each with look-alikes that an 8-bit case
# folding of UTF-8 bytes once took for it (Latin, Polish, Cyrillic).
IDN_ACCEPTED = ("@" + pf.IDN_DOMAIN, "@\u043f\u043e\u0447\u0442\u0430.example", "@\u0142\u00f3d\u017a.example")
LOOK_ALIKES = ("b\u00e5cker.example", "\u043f\u043e\u0440\u0442\u0430.example",
               "\u0150\u00f3d\u017a.example", "B\u00e5CKER.example")
# Whitelisted as typed: one U-label, one A-label.
WHITELIST_U = "h\u00e4ndler.example"
WHITELIST_A = "p\u00f6stler.example".encode("idna").decode()

postfix = gateway = None


def setUpModule():
    global postfix, gateway
    e2e.require_binary()
    postfix = pf.PostfixBackend().start()
    try:
        gateway = e2e.Gateway(postfix.port, domains=("@" + pf.DOMAIN,) + IDN_ACCEPTED,
                              whitelist=("@" + WHITELIST_U, "@" + WHITELIST_A))
        c = session()
        c.expect(b"MAIL FROM:<" + SENDER + b">", b"451 ")
        c.expect(b"MAIL FROM:<" + SENDER + b">", b"250 ")
        c.expect(b"QUIT", b"221 ")
        c.close()
    except Exception:
        e2e.stop_pair(postfix, gateway)
        raise


def tearDownModule():
    try:
        postfix.wait_until_idle()
        leaked = sorted(set(postfix.foreign_recipients()) - {CONTROL})
        if leaked:
            raise AssertionError("Postfix accepted foreign recipients: %r" % leaked)
    finally:
        e2e.stop_pair(postfix, gateway)


def session(source=e2e.CLIENT_HOST):
    c = e2e.RawClient.session(gateway.port, source, helo=b"EHLO client.test")
    c.sock.settimeout(SESSION_TIMEOUT)
    return c


def direct():
    """A client of Postfix itself, past the gateway."""
    return smtplib.SMTP(e2e.BACKEND_HOST, postfix.port, local_hostname="client.test",
                        timeout=SESSION_TIMEOUT)


def ask(c, line):
    """The reply to line; [] when the gateway closed, a marker when it stays
    silent (the line went somewhere it should not)."""
    try:
        return c.command(line)
    except (BrokenPipeError, ConnectionResetError):
        return []
    except TimeoutError:
        return [b"(no reply)"]


def drain(c):
    """Sends QUIT and reads until the gateway closes (bounded by the time-out)."""
    try:
        c.send(b"QUIT\r\n")
        while c.read_line() is not None:
            pass
    except OSError:
        pass
    c.close()


def finish_mail(c, subject):
    """Tries to complete the transaction, so that any recipient Postfix took
    reaches its queue; the replies up to the first missing one."""
    replies = []
    for line in (b"RCPT TO:<v@" + pf.DOMAIN.encode() + b">", b"DATA",
                 b"Subject: " + subject + b"\r\n\r\nbody\r\n."):
        reply = ask(c, line)
        replies.append(reply[-1][:3] if reply else b"closed")
        if not reply or reply[-1][:1] not in b"23":
            break
    return replies


def stored_body(data):
    """The body Postfix stores of the client's data (without the end mark):
    lines split at CR LF, bare LF and bare CR; a leading dot dropped only
    from a line the client both began and ended with CR LF; LF line ends."""
    pieces = re.split(rb"(\r\n|\r|\n)", data)
    assert pieces[-1] == b"", data[-20:]
    lines, begun = [], b"\r\n"
    for text, end in zip(pieces[0::2], pieces[1::2]):
        lines.append(text[1:] if text[:1] == b"." and begun == end == b"\r\n" else text)
        begun = end
    return pf.message_body(b"\n".join(lines) + b"\n")


class Case(unittest.TestCase):
    def connect(self, source=e2e.CLIENT_HOST):
        c = session(source)
        self.addCleanup(c.close)
        return c

    def new_messages(self, before):
        self.assertTrue(postfix.wait_until_idle(), postfix.queue())
        return postfix.delivered()[before:]


class BackendTest(Case):
    def test_postfix_alone_relays_for_the_gateway_network(self):
        # Without the gateway, this Postfix takes any recipient from loopback,
        # and the check sees it.
        mark = postfix.mark()
        with direct() as c:
            c.sendmail("x@sender.example", [CONTROL], b"Subject: control\r\n\r\nbody\r\n")
        self.assertTrue(postfix.wait_until_idle())
        self.assertEqual(postfix.foreign_recipients(since=mark), [CONTROL])


class RecipientTest(Case):
    def test_foreign_recipients_in_any_form_are_refused(self):
        cases = (  # the line after a passed MAIL, the gateway's reply
            (b"RCPT TO:<v@elsewhere.example>", RELAYING),
            (b"rcpt to:<v@elsewhere.example>", RELAYING),
            (b"Rcpt To: <V@ELSEWHERE.EXAMPLE>", RELAYING),
            (b"RCPT TO:v@elsewhere.example", RELAYING),
            (b"RCPT TO:<v@elsewhere.example.>", RELAYING),
            (b"RCPT TO:<v@accepted.example.>", RELAYING),  # a trailing dot is no SMTP domain
            (b"RCPT TO:<v@sub.accepted.example>", RELAYING),
            (b"RCPT TO:<v@accepted.example.elsewhere.example>", RELAYING),
            (b"RCPT TO:<v@elsewhereaccepted.example>", RELAYING),
            (b"RCPT TO:<v>", RELAYING),
            (b"RCPT TO:<v@[192.0.2.1]>", RELAYING),
            # RFC 2505 2.1: routing the server itself may resolve.
            (b'RCPT TO:<"v@elsewhere.example"@accepted.example>', RELAYING),
            (b'RCPT TO:<"v@elsewhere.example"@ACCEPTED.EXAMPLE>', RELAYING),
            (b'RCPT TO:<"v%elsewhere.example"@accepted.example>', RELAYING),
            (b'RCPT TO:<"v@elsewhere.example">', RELAYING),
            (b"RCPT TO:<v\\@elsewhere.example@accepted.example>", RELAYING),
            (b"RCPT TO:<v%elsewhere.example@accepted.example>", RELAYING),
            (b"RCPT TO:<v%elsewhere.example>", RELAYING),
            (b"RCPT TO:<elsewhere.example!v@accepted.example>", RELAYING),
            (b"RCPT TO:<elsewhere.example!v>", RELAYING),
            (b"RCPT TO:<w@elsewhere.example@accepted.example>", RELAYING),
            (b"RCPT TO:<@accepted.example:v@elsewhere.example>", RELAYING),
            (b"RCPT TO:<@elsewhere.example:v@accepted.example>", RELAYING),
            (b"RCPT TO:<@accepted.example,@accepted.example:v@elsewhere.example>", RELAYING),
            (b"RCPT TO:<v@elsewhere.example>,<w@accepted.example>", RELAYING),
            (b"RCPT TO:<w@accepted.example> <v@elsewhere.example>", RELAYING),
            (b"RCPT TO:<w@accepted.example>,<v@elsewhere.example>", RELAYING),
            # Not commands: refused as a whole, never passed on.
            (b" RCPT TO:<v@elsewhere.example>", SYNTAX),
            (b"\tRCPT TO:<v@elsewhere.example>", SYNTAX),
            (b"\x0bRCPT TO:<v@elsewhere.example>", SYNTAX),
            (b"\x0cRCPT TO:<v@elsewhere.example>", SYNTAX),
            (b"RC\x00PT TO:<v@elsewhere.example>", SYNTAX),
            (b"RCPT\x01 TO:<v@elsewhere.example>", SYNTAX),
            (b"RCPT TO:<v@elsewhere.example>\x7f", SYNTAX),
            (b"RCPT TO:<v@accepted.example>\rRCPT TO:<v@elsewhere.example>", SYNTAX),
            (b"RCPT TO:v@elsewhere.example\x00x@accepted.example", SYNTAX),
            (b"RCPT TO:<v@elsewhere.example\x00@accepted.example>", SYNTAX))
        for number, (line, reply) in enumerate(cases):
            with self.subTest(line=line):
                mark = postfix.mark()
                c = self.connect()
                c.expect(b"MAIL FROM:<" + SENDER + b">", b"250 ")
                got = ask(c, line)
                rest = finish_mail(c, b"form %d" % number)
                drain(c)
                self.assertTrue(postfix.wait_until_idle())
                leaked = postfix.foreign_recipients(since=mark)
                # A refused recipient ends the session; a line that is no
                # command leaves it in step with Postfix.
                self.assertEqual((got, rest, leaked), (
                    reply, [b"closed"] if reply is RELAYING else [b"250", b"354", b"250"], []))

    def test_accepted_recipients_reach_the_maildir(self):
        for line in (b"RCPT TO:<v@accepted.example>", b"RCPT TO:<V@ACCEPTED.EXAMPLE>",
                     b"rcpt to:<v@Accepted.Example>"):
            with self.subTest(line=line):
                before = len(postfix.delivered())
                c = self.connect()
                c.expect(b"MAIL FROM:<" + SENDER + b">", b"250 ")
                self.assertEqual(ask(c, line), [b"250 2.1.5 Ok"])
                c.expect(b"DATA", b"354 ")
                c.expect(b"Subject: " + line + b"\r\n\r\nbody\r\n.", b"250 ")
                drain(c)
                [message] = self.new_messages(before)
                self.assertIn(b"\nSubject: " + line + b"\n", message)

    def test_leading_space_mail_is_not_passed_on(self):
        c = self.connect()
        self.assertEqual(ask(c, b" MAIL FROM:<x@y.example>"), SYNTAX)
        # Postfix never saw a MAIL.
        self.assertEqual(ask(c, b"RCPT TO:<v@accepted.example>"),
                         [b"503 5.5.1 Error: need MAIL command"])

    def test_null_sender_greylisted_then_bounce_delivered(self):
        before = len(postfix.delivered())
        c = self.connect()
        self.assertEqual(ask(c, b"MAIL FROM:<>"), [b"451 Try later..."])
        c.expect(b"MAIL FROM:<>", b"250 ")
        c.expect(b"RCPT TO:<v@accepted.example>", b"250 ")
        c.expect(b"DATA", b"354 ")
        c.expect(b"From: MAILER-DAEMON@sender.example\r\nSubject: Undelivered Mail\r\n\r\n"
                 b"bounce\r\n.", b"250 ")
        drain(c)
        [message] = self.new_messages(before)
        self.assertTrue(message.startswith(b"Return-Path: <>\n"), message[:200])
        self.assertIn(b"\nDelivered-To: v@accepted.example\n", message)
        self.assertEqual(pf.message_body(message), b"bounce\n")


class CommandTest(Case):
    def test_ehlo_answer_hides_what_a_line_relay_cannot_carry(self):
        with direct() as c:
            c.ehlo("client.test")
            offered = {k.upper().encode() for k in c.esmtp_features} | {b"BACKEND.TEST"}
        self.assertLessEqual(HIDDEN_EXTENSIONS - {b"BINARYMIME"}, offered)
        c = e2e.RawClient(gateway.port)
        self.addCleanup(c.close)
        c.expect(None, b"220 ")
        relayed = {l[4:].split(b" ")[0].upper() for l in c.expect(b"EHLO client.test", b"250 ")}
        self.assertEqual(relayed & HIDDEN_EXTENSIONS, set())
        self.assertEqual(relayed, offered - HIDDEN_EXTENSIONS)

    def test_commands_a_line_relay_cannot_carry_are_answered_by_the_gateway(self):
        for line in (b"STARTTLS", b"BDAT 10 LAST", b"XCLIENT ADDR=1.2.3.4",
                     b"XFORWARD ADDR=1.2.3.4", b"starttls"):
            with self.subTest(line=line):
                # Outside a transaction, where this Postfix would obey each.
                c = self.connect()
                self.assertEqual((ask(c, line), ask(c, b"NOOP")),
                                 (NOT_IMPLEMENTED, [b"250 2.0.0 Ok"]))


class InternationalTest(Case):
    def test_look_alike_domains_never_reach_postfix(self):
        lines = [b"RCPT TO:<idn@" + d.encode() + b">" for d in LOOK_ALIKES]
        lines.append(b"RCPT TO:<idn@b\xe4cker.example>")  # Latin-1, no UTF-8
        for line in lines:
            with self.subTest(line=line):
                mark = postfix.mark()
                c = self.connect()
                c.expect(b"MAIL FROM:<" + SENDER + b"> SMTPUTF8", b"250 ")
                got = ask(c, line)
                drain(c)
                self.assertTrue(postfix.wait_until_idle())
                self.assertEqual((got, postfix.foreign_recipients(since=mark)), (RELAYING, []))

    def test_accepted_domain_delivered_as_u_label_and_a_label(self):
        for domain in (pf.IDN_DOMAIN, pf.IDN_DOMAIN_ACE.upper()):
            with self.subTest(domain=domain):
                before = len(postfix.delivered())
                c = self.connect()
                c.expect(b"MAIL FROM:<" + SENDER + b"> SMTPUTF8", b"250 ")
                c.expect(("RCPT TO:<idn@%s>" % domain).encode(), b"250 ")
                c.expect(b"DATA", b"354 ")
                c.expect(b"Subject: idn\r\n\r\nbody\r\n.", b"250 ")
                drain(c)
                [message] = self.new_messages(before)
                self.assertIn(("\ndelivered-to: idn@%s\n" % domain.lower()).encode(), message.lower())

    def test_whitelist_entries_match_exactly_their_own_domain(self):
        cases = ((WHITELIST_U, b"250 "), (WHITELIST_U.encode("idna").decode(), b"250 "),
                 (WHITELIST_A, b"250 "), (WHITELIST_A.encode().decode("idna"), b"250 "),
                 ("h\u00e5ndler.example", b"451 "), ("p\u00f8stler.example", b"451 "))
        for domain, reply in cases:
            with self.subTest(domain=domain):
                c = self.connect()
                c.expect(("MAIL FROM:<first@%s> SMTPUTF8" % domain).encode(), reply)
                drain(c)

    def test_postmaster_without_domain_is_delivered(self):
        before = len(postfix.delivered())
        c = self.connect()
        c.expect(b"MAIL FROM:<" + SENDER + b">", b"250 ")
        c.expect(b"RCPT TO:<PostMaster>", b"250 ")
        c.expect(b"DATA", b"354 ")
        c.expect(b"Subject: to the postmaster\r\n\r\nbody\r\n.", b"250 ")
        drain(c)
        [message] = self.new_messages(before)
        self.assertIn(b"\nSubject: to the postmaster\n", message)


class VerbTest(Case):
    def test_only_relay_verbs_reach_postfix(self):
        """AUTH (one step and several), VRFY, EXPN, ETRN and the rest are
        answered by the gateway; Postfix's count of the session's commands
        shows none of them, and the session stays in step."""
        offset = len(postfix.log_text())
        c = self.connect()
        for line, reply in ((b"AUTH PLAIN AGZvbwBiYXI=", NOT_IMPLEMENTED), (b"AUTH LOGIN", NOT_IMPLEMENTED),
                            (b"Zm9vYmFy", SYNTAX), (b"AUTH CRAM-MD5", NOT_IMPLEMENTED),
                            (b"VRFY root", [b"252 2.1.5 Cannot VRFY user, but will accept message and "
                                            b"attempt delivery"]),
                            (b"EXPN staff", NOT_IMPLEMENTED), (b"ETRN accepted.example", NOT_IMPLEMENTED),
                            (b"TURN", NOT_IMPLEMENTED), (b"ATRN", NOT_IMPLEMENTED), (b"XYZZY", NOT_IMPLEMENTED),
                            (b"NOOP", [b"250 2.0.0 Ok"]), (b"RSET", [b"250 2.0.0 Ok"])):
            self.assertEqual(ask(c, line), reply, line)
        drain(c)
        expected = {"ehlo": "1", "noop": "1", "rset": "1", "quit": "1", "commands": "4"}

        def summaries():  # Postfix's count of commands, one line per session
            found = [dict(pair.split("=") for pair in summary.split())
                     for summary in re.findall(r"disconnect from \S+ (.*)", postfix.log_text()[offset:])]
            return found if expected in found else None
        found = e2e.wait_until(summaries)
        self.assertIn(expected, found or [])
        self.assertEqual([s for s in found if {"auth", "vrfy", "expn", "etrn", "unknown"} & set(s)], [])

    def test_one_session_cannot_fill_the_greylist(self):
        before = len(gateway.db.liste())
        c = self.connect()
        replies = []
        for n in range(1000):
            reply = ask(c, b"MAIL FROM:<flood%d@spam.example>" % n)
            replies.append(reply[-1] if reply else b"closed")
            if reply != TRY_LATER:
                break
        c.close()
        self.assertEqual(replies, TRY_LATER * 19 + TOO_MANY_ERRORS)
        self.assertLessEqual(len(gateway.db.liste()) - before, 20)


class SmugglingTest(Case):
    SMUGGLED = (b"MAIL FROM:<forged@elsewhere.example>\r\nRCPT TO:<v@accepted.example>\r\n"
                b"DATA\r\nSubject: smuggled\r\n\r\nsmuggled\r\n.\r\n")

    def test_only_the_clients_own_end_mark_ends_the_data(self):
        sequences = (b"\n.\n", b"\r\n.\r", b"\n.\r\n", b"\r.\r\n",
                     b"\r\n.\n", b"\n.\r", b"\r.\n", b"\r.\r",
                     b"\r\n..\r\n", b"\n..\r\n")  # and dot-stuffed lines as usual
        for source, sender in ((e2e.RELAY_HOST, b"relay.sender@sender.example"),
                               (e2e.CLIENT_HOST, SENDER)):
            for number, sequence in enumerate(sequences):
                with self.subTest(source=source, sequence=sequence):
                    data = (b"Subject: smuggling %d\r\n\r\nbefore" % number) + sequence + \
                        self.SMUGGLED
                    before = len(postfix.delivered())
                    c = self.connect(source)
                    c.expect(b"MAIL FROM:<" + sender + b">", b"250 ")
                    c.expect(b"RCPT TO:<v@accepted.example>", b"250 ")
                    c.expect(b"DATA", b"354 ")
                    c.send(data)
                    reply = c.read_reply()
                    drain(c)
                    messages = self.new_messages(before)
                    self.assertTrue(reply and reply[-1].startswith(b"250 "), reply)
                    self.assertEqual([pf.message_body(m) for m in messages],
                                     [stored_body(data[:-3])])
                    self.assertNotIn(b"forged@", messages[0].partition(b"\n\n")[0])


class BurstTest(Case):
    CLIENTS = 100
    DEADLINE = 75.0

    def test_simultaneous_clients_all_get_the_greeting(self):
        start = threading.Barrier(self.CLIENTS)
        outcomes, lock = [], threading.Lock()
        deadline = time.monotonic() + self.DEADLINE

        def client(number):
            step = "connect"
            try:
                start.wait(10)
                # An address each: one address may hold only MaxSessionsPerClient.
                c = e2e.RawClient(gateway.port, source="127.0.1.%d" % (number + 1), timeout=self.DEADLINE)
                try:
                    step = "greeting"
                    greeting = c.read_reply()
                    step = "greeting " + (greeting[-1][:4].decode() if greeting else "closed")
                    c.sock.settimeout(max(1.0, deadline - time.monotonic()))
                    bye = c.command(b"QUIT")
                    step += ", QUIT " + (bye[-1][:4].decode() if bye else "closed")
                finally:
                    c.close()
            except (OSError, threading.BrokenBarrierError) as error:
                step += ": " + type(error).__name__
            with lock:
                outcomes.append(step)

        threads = [threading.Thread(target=client, args=(n,), daemon=True) for n in range(self.CLIENTS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(max(0.0, deadline + 5 - time.monotonic()))
        with lock:
            counts = collections.Counter(outcomes)
        self.assertEqual(counts, {"greeting 220 , QUIT 221 ": self.CLIENTS})


class TlsSenderTest(Case):
    """A real Postfix that sends only encrypted (smtp_tls_security_level =
    encrypt) delivers through a gateway with a certificate: deferred by the
    greylist first, accepted on its own retry."""

    def test_encrypted_delivery_greylisted_then_accepted(self):
        folder = tempfile.mkdtemp(prefix="brenvik-tls-cert-")
        self.addCleanup(shutil.rmtree, folder, True)
        cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=mx.test", "-keyout", key, "-out", cert],
                       check=True, capture_output=True, timeout=60)
        tls_gateway = e2e.Gateway(postfix.port, domains=("@" + pf.DOMAIN,),
                                  settings={"TlsCertificate": cert, "TlsKey": key})
        self.addCleanup(tls_gateway.finish)
        sender = pf.PostfixSender("[%s]:%d" % (e2e.RECV_HOST, tls_gateway.port)).start()
        self.addCleanup(sender.stop)
        before = len(postfix.delivered())
        body = "Encrypted all the way to the gateway.\r\n"
        with smtplib.SMTP(e2e.BACKEND_HOST, sender.port, local_hostname="client.test",
                          timeout=SESSION_TIMEOUT) as submit:
            submit.sendmail("tls.sender@sender.example", ["v@" + pf.DOMAIN],
                            "Subject: over TLS\r\n\r\n" + body)
        messages = postfix.wait_for_delivered(before + 1, timeout=60)[before:]
        self.assertEqual(len(messages), 1, sender.log_text()[-2000:])
        self.assertEqual(pf.message_body(messages[0]), body.replace("\r\n", "\n").encode())
        # The sender logs its delivery after the backend stored it.
        statuses = e2e.wait_until(lambda: len(sender.sent_log_lines()) >= 2 and sender.sent_log_lines(), 30)
        log = sender.log_text()
        self.assertEqual([status for status, _ in statuses], ["deferred", "sent"], log[-2000:])
        self.assertIn("451 Try later...", statuses[0][1])
        self.assertIn("TLS connection established to %s" % e2e.RECV_HOST, log)
        self.assertEqual([r[:2] for r in tls_gateway.db.log_rows()],
                         [("TLS.SENDER@SENDER.EXAMPLE", "Try Later"),
                          ("TLS.SENDER@SENDER.EXAMPLE", "OK")])


def load_tests(loader, _tests, _pattern):
    # The burst last: a gateway it wedges must not take the other cases along.
    return unittest.TestSuite(loader.loadTestsFromTestCase(case) for case in (
        BackendTest, RecipientTest, CommandTest, InternationalTest, VerbTest, SmugglingTest, TlsSenderTest,
        BurstTest))


if __name__ == "__main__":
    unittest.main()
