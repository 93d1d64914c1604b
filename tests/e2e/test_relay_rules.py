"""How the gateway relays replies and commands, against a scripted backend
whose answers (and how TCP splits them) each test chooses."""
import unittest

import brenvik_e2e as e2e

backend = gateway = None


def setUpModule():
    global backend, gateway
    backend, gateway = e2e.start_pair(e2e.ScriptedBackend)


def tearDownModule():
    e2e.stop_pair(backend, gateway)


def ended_transcript(before):
    return e2e.transcript_lines(gateway.new_transcript(
        before, ends_with=lambda t: t.endswith(b"\r\n") and b"\r\nABBRUCH " in t))


class RelayCase(unittest.TestCase):
    def setUp(self):
        saved = (list(backend.greeting), dict(backend.replies))
        self.addCleanup(lambda: (setattr(backend, "greeting", saved[0]),
                                 setattr(backend, "replies", saved[1])))

    def connect(self, helo=b"HELO client.test"):
        c = e2e.RawClient.session(gateway.port, helo=helo)
        self.addCleanup(c.close)
        return c


class RelayTest(RelayCase):
    def test_ehlo_answer_without_the_extensions_a_line_relay_cannot_carry(self):
        for answer, relayed in (
                ([b"250-scripted.test greets client.test\r\n250-PIPELINING\r\n250-SIZE 1024\r\n",
                  b"250-CHUNKING\r\n250-8BITMIME\r\n250-BINARYMIME\r\n250 STARTTLS\r\n"],
                 [b"250-scripted.test greets client.test", b"250-SIZE 1024", b"250 8BITMIME"]),
                ([b"250-scripted.test\r\n250-pipelining\r\n250 chunking\r\n"],
                 [b"250 scripted.test"])):
            with self.subTest(relayed=relayed):
                backend.replies["EHLO"] = answer
                self.assertEqual(self.connect(helo=None).command(b"EHLO client.test"), relayed)

    def test_replies_split_over_tcp_segments_arrive_whole(self):
        backend.greeting = [b"220-scripted.test first line\r\n", b"220-second\r\n220 ready\r\n"]
        backend.replies["NOOP"] = [b"250-first li", b"ne\r\n250 last line\r\n"]
        c = e2e.RawClient(gateway.port)
        self.addCleanup(c.close)
        self.assertEqual(c.read_reply(),
                         [b"220-scripted.test first line", b"220-second", b"220 ready"])
        c.expect(b"HELO client.test", b"250 ")
        self.assertEqual(c.command(b"NOOP"), [b"250-first line", b"250 last line"])
        c.expect(b"QUIT", b"221 ")

    def test_backend_closing_mid_session_ends_the_client_session(self):
        backend.replies["NOOP"] = [e2e.ScriptedBackend.CLOSE]
        before = gateway.transcript_names()
        self.assertEqual(self.connect().command(b"NOOP"), [])
        self.assertEqual(ended_transcript(before), ["HELO client.test", "250 scripted.test",
                                                    "NOOP", "ABBRUCH Device I/O error"])

    def test_pipelined_commands_are_each_answered_in_order(self):
        c = self.connect()
        c.send(b"MAIL FROM:<pipe@trusted.example>\r\nRCPT TO:<user@example.com>\r\nDATA\r\n")
        self.assertEqual([c.read_reply() for _ in range(3)],
                         [[b"250 2.1.0 sender ok"], [b"250 2.1.5 recipient ok"], [b"354 go ahead"]])
        c.send(b"Subject: pipelined\r\n\r\nbody\r\n.\r\nQUIT\r\n")
        self.assertEqual([c.read_reply() for _ in range(2)],
                         [[b"250 2.0.0 queued"], [b"221 2.0.0 bye"]])
        commands, messages = backend.received()
        self.assertEqual(messages[-1], b"Subject: pipelined\r\n\r\nbody\r\n.\r\n")
        self.assertEqual(commands[-4:], [b"MAIL FROM:<pipe@trusted.example>",
                                         b"RCPT TO:<user@example.com>", b"DATA", b"QUIT"])

    def test_deferred_sender_then_pipelined_command(self):
        c = self.connect()
        c.send(b"MAIL FROM:<unknown.pipe@example.org>\r\nNOOP\r\n")
        self.assertEqual([c.read_reply() for _ in range(2)],
                         [[b"451 Try later..."], [b"250 2.0.0 noop"]])
        self.assertNotIn(b"MAIL FROM:<unknown.pipe@example.org>", backend.received()[0])

    def test_lines_the_gateway_answers_itself_never_reach_the_backend(self):
        unknown = b"500 5.5.2 Syntax error, command unrecognized"
        not_implemented = b"502 5.5.1 Command not implemented"
        cases = ((b" MAIL FROM:<x@y.example>", unknown), (b"\tRCPT TO:<v@elsewhere.example>", unknown),
                 (b"\x0cEHLO client.test", unknown), (b"NO\x00OP", unknown), (b"NOOP\rRSET", unknown),
                 (b"A" * 1001, b"500 5.5.2 Line too long"), (b"STARTTLS", not_implemented),
                 (b"bdat 10 LAST", not_implemented), (b"XCLIENT ADDR=192.0.2.1", not_implemented),
                 (b"XFORWARD ADDR=192.0.2.1", not_implemented),
                 (b"MAIL FROM:<a b@example.org>", b"501 5.1.7 Bad sender address syntax"),
                 (b"MAIL FROM:x@example.org", b"501 5.1.7 Bad sender address syntax"))
        c = self.connect()
        for line, reply in cases:
            with self.subTest(line=line):
                self.assertEqual(c.command(line), [reply])
        self.assertEqual(c.command(b"NOOP"), [b"250 2.0.0 noop"])
        commands = backend.received()[0]
        for line, _ in cases:
            self.assertNotIn(line.replace(b"\r", b""), commands)
        # A client that keeps sending such lines is sent away.
        for _ in range(20 - len(cases) - 1):
            self.assertEqual(c.command(b"STARTTLS"), [not_implemented])
        self.assertEqual(c.command(b"STARTTLS"), [b"421 4.7.0 Too many errors"])
        self.assertTrue(c.closed_by_peer())

    def test_null_sender_is_greylisted_by_the_client_address(self):
        c = self.connect()
        self.assertEqual(c.command(b"MAIL FROM:<>"), [b"451 Try later..."])
        self.assertEqual(c.command(b"MAIL FROM:<> SIZE=100"), [b"250 2.1.0 sender ok"])
        self.assertEqual(gateway.db.liste("<>@[%s]" % e2e.CLIENT_HOST)[0][:3],
                         ("<>@[%s]" % e2e.CLIENT_HOST, 2, e2e.CLIENT_HOST))

    def test_refused_data_leaves_the_session_in_command_mode(self):
        backend.replies["DATA"] = [b"554 5.5.1 no valid recipients\r\n"]
        c = self.connect()
        c.expect(b"MAIL FROM:<refused.data@trusted.example>", b"250 ")
        c.expect(b"RCPT TO:<user@example.com>", b"250 ")
        self.assertEqual(c.command(b"DATA"), [b"554 5.5.1 no valid recipients"])
        self.assertEqual(c.command(b"NOOP"), [b"250 2.0.0 noop"])
        c.expect(b"QUIT", b"221 ")
        self.assertEqual(backend.received()[0][-3:], [b"DATA", b"NOOP", b"QUIT"])


class DataTest(RelayCase):
    def start_data(self, sender):
        c = self.connect()
        c.expect(b"MAIL FROM:<" + sender + b">", b"250 ")
        c.expect(b"RCPT TO:<user@example.com>", b"250 ")
        c.expect(b"DATA", b"354 ")
        return c

    def test_end_of_data_and_line_ends_as_the_backend_sees_them(self):
        queued, bye = [b"250 2.0.0 queued"], [b"221 2.0.0 bye"]
        cases = (  # what the client sends, what the backend gets, the replies
            ("only the end mark", [b".\r\nQUIT\r\n"], b".\r\n", [queued, bye]),
            ("mark split over reads", [b"Subject: split\r\n\r\nbody\r", b"\n.", b"\r\nQUIT\r\n"],
             b"Subject: split\r\n\r\nbody\r\n.\r\n", [queued, bye]),
            # A dot after a bare CR or LF ends nothing: it gets one more dot.
            ("bare CR and LF", [b"a\rb\nc\r\n\r.\r\n.\r\nQUIT\r\n"],
             b"a\r\nb\r\nc\r\n\r\n..\r\n.\r\n", [queued, bye]),
            # So the MAIL after such a dot stays mail data, here and at the
            # backend alike, instead of running past the gateway's checks.
            ("smuggling", [b"Subject: s\r\n\r\nbody\n.\r\nMAIL FROM:<smuggled@elsewhere.example>"
                           b"\r\n.\r\nQUIT\r\n"],
             b"Subject: s\r\n\r\nbody\r\n..\r\nMAIL FROM:<smuggled@elsewhere.example>\r\n.\r\n",
             [queued, bye]))
        for name, pieces, expected, replies in cases:
            with self.subTest(name):
                c = self.start_data(name.replace(" ", ".").encode() + b"@trusted.example")
                for piece in pieces:
                    c.send(piece)
                self.assertEqual([c.read_reply() for _ in replies], replies)
                commands, messages = backend.received()
                self.assertEqual(messages[-1], expected)
                self.assertEqual(commands[-2:], [b"DATA", b"QUIT"])

    def test_client_closing_during_data_ends_the_session(self):
        before = gateway.transcript_names()
        c = self.start_data(b"vanishing@trusted.example")
        c.send(b"Subject: cut off\r\n\r\nhalf a mess")
        c.close()
        transcript = ended_transcript(before)
        self.assertEqual(transcript[-2], "354 go ahead")
        self.assertTrue(transcript[-1].startswith("ABBRUCH "), transcript)
        self.assertEqual(len(transcript), 9)  # HELO, MAIL, RCPT, DATA with answers, ABBRUCH


if __name__ == "__main__":
    unittest.main()
