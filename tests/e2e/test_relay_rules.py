"""How the gateway relays replies and commands, against a scripted backend
whose answers (and how TCP splits them) each test chooses."""
import unittest

import brenvik_e2e as e2e

backend = None
gateway = None

EHLO_FULL = [b"250-scripted.test greets client.test\r\n250-PIPELINING\r\n250-SIZE 10240000\r\n",
             b"250-CHUNKING\r\n250-8BITMIME\r\n250-BINARYMIME\r\n250 STARTTLS\r\n"]


def setUpModule():
    global backend, gateway
    e2e.require_binary()
    backend = e2e.ScriptedBackend()
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


class RelayTest(unittest.TestCase):
    def setUp(self):
        self.saved = (list(backend.greeting), dict(backend.replies), list(backend.data_reply))
        self.clients = []

    def tearDown(self):
        for c in self.clients:
            c.close()
        backend.greeting, backend.replies, backend.data_reply = self.saved

    def connect(self, helo=True):
        c = e2e.RawClient(gateway.port)
        self.clients.append(c)
        greeting = c.read_reply()
        self.assertTrue(greeting and greeting[-1][:4] == b"220 ", greeting)
        if helo:
            self.command(c, b"HELO client.test", b"250 ")
        return c

    def command(self, c, line, expected_start):
        c.send(line + b"\r\n")
        reply = c.read_reply()
        self.assertTrue(reply and reply[-1].startswith(expected_start), (line, reply))
        return reply

    def commands_seen(self):
        return backend.received()[0]


class RepliesTest(RelayTest):
    def test_ehlo_answer_without_the_extensions_a_line_relay_cannot_carry(self):
        backend.replies["EHLO"] = EHLO_FULL
        c = self.connect(helo=False)
        reply = self.command(c, b"EHLO client.test", b"250 ")
        self.assertEqual(reply, [b"250-scripted.test greets client.test", b"250-SIZE 10240000",
                                 b"250 8BITMIME"])

    def test_lower_case_extensions_are_withheld_too(self):
        backend.replies["EHLO"] = [b"250-scripted.test\r\n250-pipelining\r\n250 chunking\r\n"]
        c = self.connect(helo=False)
        self.assertEqual(self.command(c, b"EHLO client.test", b"250 "), [b"250 scripted.test"])

    def test_replies_split_over_tcp_segments_arrive_whole(self):
        backend.greeting = [b"220-scripted.test first line\r\n", b"220-second\r\n220 ready\r\n"]
        backend.replies["NOOP"] = [b"250-first li", b"ne\r\n250 last line\r\n"]
        c = e2e.RawClient(gateway.port)
        self.clients.append(c)
        self.assertEqual(c.read_reply(),
                         [b"220-scripted.test first line", b"220-second", b"220 ready"])
        self.command(c, b"HELO client.test", b"250 ")
        self.assertEqual(self.command(c, b"NOOP", b"250 "), [b"250-first line", b"250 last line"])
        self.command(c, b"QUIT", b"221 ")


    def test_backend_closing_mid_session_ends_the_client_session(self):
        backend.replies["NOOP"] = [e2e.ScriptedBackend.CLOSE]
        before = gateway.transcript_names()
        c = self.connect()
        c.send(b"NOOP\r\n")
        self.assertEqual(c.read_reply(), [])
        transcript = e2e.transcript_lines(gateway.new_transcript(
            before, ends_with=lambda t: t.endswith(b"\r\n") and b"\r\nABBRUCH " in t))
        self.assertEqual(transcript, ["HELO client.test", "250 scripted.test", "NOOP",
                                      "ABBRUCH Device I/O error"])


class CommandsTest(RelayTest):
    def test_pipelined_commands_are_each_answered_in_order(self):
        c = self.connect()
        c.send(b"MAIL FROM:<pipe@trusted.example>\r\nRCPT TO:<user@example.com>\r\nDATA\r\n")
        self.assertEqual([c.read_reply() for _ in range(3)],
                         [[b"250 2.1.0 sender ok"], [b"250 2.1.5 recipient ok"], [b"354 go ahead"]])
        c.send(b"Subject: pipelined\r\n\r\nbody\r\n.\r\nQUIT\r\n")
        self.assertEqual(c.read_reply(), [b"250 2.0.0 queued"])
        self.assertEqual(c.read_reply(), [b"221 2.0.0 bye"])
        commands, messages = backend.received()
        self.assertIn(b"Subject: pipelined\r\n\r\nbody\r\n.\r\n", messages)
        self.assertEqual(commands[-4:], [b"MAIL FROM:<pipe@trusted.example>",
                                         b"RCPT TO:<user@example.com>", b"DATA", b"QUIT"])

    def test_deferred_sender_then_pipelined_command(self):
        c = self.connect()
        c.send(b"MAIL FROM:<unknown.pipe@example.org>\r\nNOOP\r\n")
        self.assertEqual(c.read_reply(), [b"451 Try later..."])
        self.assertEqual(c.read_reply(), [b"250 2.0.0 noop"])
        self.assertNotIn(b"MAIL FROM:<unknown.pipe@example.org>", self.commands_seen())

    def test_refused_data_leaves_the_session_in_command_mode(self):
        backend.replies["DATA"] = [b"554 5.5.1 no valid recipients\r\n"]
        c = self.connect()
        self.command(c, b"MAIL FROM:<refused.data@trusted.example>", b"250 ")
        self.command(c, b"RCPT TO:<user@example.com>", b"250 ")
        self.assertEqual(self.command(c, b"DATA", b"554 "), [b"554 5.5.1 no valid recipients"])
        self.assertEqual(self.command(c, b"NOOP", b"250 "), [b"250 2.0.0 noop"])
        self.command(c, b"QUIT", b"221 ")
        self.assertEqual(self.commands_seen()[-3:], [b"DATA", b"NOOP", b"QUIT"])


class DataTest(RelayTest):
    def start_data(self, sender):
        c = self.connect()
        self.command(c, b"MAIL FROM:<" + sender + b">", b"250 ")
        self.command(c, b"RCPT TO:<user@example.com>", b"250 ")
        self.command(c, b"DATA", b"354 ")
        return c

    def test_message_of_only_the_end_mark(self):
        c = self.start_data(b"empty@trusted.example")
        c.send(b".\r\n")
        self.assertEqual(c.read_reply(), [b"250 2.0.0 queued"])
        self.command(c, b"QUIT", b"221 ")
        self.assertEqual(backend.received()[1][-1], b".\r\n")

    def test_end_mark_split_over_reads(self):
        c = self.start_data(b"split.mark@trusted.example")
        c.send(b"Subject: split\r\n\r\nbody\r")
        c.send(b"\n.")
        c.send(b"\r\n")
        self.assertEqual(c.read_reply(), [b"250 2.0.0 queued"])
        self.command(c, b"QUIT", b"221 ")
        self.assertEqual(backend.received()[1][-1], b"Subject: split\r\n\r\nbody\r\n.\r\n")

    def test_bare_line_feed_cannot_smuggle_commands_past_the_gateway(self):
        c = self.start_data(b"smuggler@trusted.example")
        c.send(b"Subject: s\r\n\r\nbody\n.\r\nMAIL FROM:<smuggled@elsewhere.example>\r\nQUIT\r\n")
        self.assertEqual(c.read_reply(), [b"250 2.0.0 queued"])
        self.assertEqual(c.read_reply(), [b"451 Try later..."])
        self.assertEqual(c.read_reply(), [b"221 2.0.0 bye"])
        commands, messages = backend.received()
        self.assertEqual(messages[-1], b"Subject: s\r\n\r\nbody\r\n.\r\n")
        self.assertNotIn(b"MAIL FROM:<smuggled@elsewhere.example>", commands)

    def test_bare_carriage_returns_and_line_feeds_reach_the_backend_as_line_ends(self):
        c = self.start_data(b"bare@trusted.example")
        c.send(b"a\rb\nc\r\n\r.\r\n")
        self.assertEqual(c.read_reply(), [b"250 2.0.0 queued"])
        self.command(c, b"QUIT", b"221 ")
        self.assertEqual(backend.received()[1][-1], b"a\r\nb\r\nc\r\n\r\n.\r\n")

    def test_client_closing_during_data_ends_the_session(self):
        before = gateway.transcript_names()
        c = self.start_data(b"vanishing@trusted.example")
        c.send(b"Subject: cut off\r\n\r\nhalf a mess")
        c.close()
        transcript = e2e.transcript_lines(gateway.new_transcript(
            before, ends_with=lambda t: t.endswith(b"\r\n") and b"\r\nABBRUCH " in t))
        self.assertEqual(transcript[-2], "354 go ahead")
        self.assertTrue(transcript[-1].startswith("ABBRUCH "), transcript)
        self.assertEqual(len(transcript), 9)  # HELO, MAIL, RCPT, DATA with answers, ABBRUCH


if __name__ == "__main__":
    unittest.main()
