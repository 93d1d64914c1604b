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
            ("bare CR and LF", [b"a\rb\nc\r\n\r.\r\nQUIT\r\n"], b"a\r\nb\r\nc\r\n\r\n.\r\n",
             [queued, bye]),
            # A bare LF before the dot ends the data here too, so the MAIL
            # after it is greylisted, not smuggled past the gateway.
            ("smuggling", [b"Subject: s\r\n\r\nbody\n.\r\nMAIL FROM:<smuggled@elsewhere.example>"
                           b"\r\nQUIT\r\n"], b"Subject: s\r\n\r\nbody\r\n.\r\n",
             [queued, [b"451 Try later..."], bye]))
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
