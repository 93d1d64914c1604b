"""Many clients at once through the real gateway in front of a real SMTP
server. Sizes from BRENVIK_LOAD_CLIENTS, _MAILS and _ROUNDS (defaults: the
CI size; full_run.sh runs 100 clients x 10 mails)."""
import collections
import os
import re
import threading
import unittest

import brenvik_e2e as e2e

CLIENTS = int(os.environ.get("BRENVIK_LOAD_CLIENTS", "24"))
MAILS = int(os.environ.get("BRENVIK_LOAD_MAILS", "4"))
ROUNDS = int(os.environ.get("BRENVIK_LOAD_ROUNDS", "2"))

# Each session may wait for every other one's accept (one per 500 ms).
CLIENT_TIMEOUT = 60.0 + CLIENTS * 1.0
SETTLE = 30.0          # s for sessions to end after their clients left
FD_SLACK = 2           # descriptors/threads the gateway may keep beyond its start
TOKEN = re.compile(rb"Message-Token: (\S+)")


def proc_count(pid, what):
    return len(os.listdir("/proc/%d/%s" % (pid, what)))


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def instrumented(pid):
    """True for a sanitizer build, whose memory use says nothing here."""
    with open("/proc/%d/maps" % pid) as f:
        return re.search(r"lib[at]san", f.read()) is not None


def body_of(token, index):
    """A mail of 1 to 40 kB with a leading-dot line and 8-bit bytes."""
    lines = [b"From: load@example.org", b"To: user@example.com",
             b"Subject: load " + token, b"Message-Token: " + token, b""]
    lines += [(b"line %d of %s \xe4\xf6\xfc " % (i, token)) * 3 for i in range(10 + index * 97 % 400)]
    lines.insert(7, b".a line that starts with a dot")
    return b"\r\n".join(lines) + b"\r\n"


def stuffed(body):
    return b"\r\n".join((b"." + l if l.startswith(b".") else l) for l in body.split(b"\r\n"))


class LoadClient(threading.Thread):
    """One session: MAILS mails separated by RSET. Relay-allowed clients
    send at once; the others are deferred and retry; every fourth mail of a
    plain client uses a whitelisted sender. The last mail of every third
    client is abandoned halfway through its data, so it must not arrive."""

    def __init__(self, number, port, start_barrier, round_number):
        super().__init__(daemon=True)
        self.number, self.port, self.barrier, self.round = number, port, start_barrier, round_number
        self.relay = number % 2 == 0
        self.accepted = {}    # token -> body the gateway said 250 to
        self.abandoned = []   # tokens of mails not completed
        self.error = None
        self.connected = threading.Event()

    def run(self):
        try:
            self._session()
        except Exception as exc:  # reported by the test
            self.error = "client %d: %r" % (self.number, exc)
            self.connected.set()

    def _session(self):
        # Strangers each from an address of their own, as MaxSessionsPerClient
        # expects of real senders; the relay list is not held to it.
        source = e2e.RELAY_HOST if self.relay else "127.0.1.%d" % (self.number + 1)
        c = e2e.RawClient(self.port, source=source, timeout=CLIENT_TIMEOUT)
        try:
            c.expect(None, b"220")
            self.connected.set()
            self.barrier.wait(CLIENT_TIMEOUT)
            c.expect(b"EHLO load%d.test" % self.number, b"250")
            for m in range(MAILS):
                self._mail(c, m)
            if not self.abandoned:
                c.expect(b"QUIT", b"221")
        finally:
            c.close()

    def _mail(self, c, m):
        token = b"r%dc%dm%d-%d" % (self.round, self.number, m, os.getpid())
        whitelisted = not self.relay and m % 4 == 3
        mail = b"MAIL FROM:<%s.%s@%s>" % (b"w" if whitelisted else b"s", token,
                                          b"trusted.example" if whitelisted else b"load.example")
        if not self.relay and not whitelisted:
            c.expect(mail, b"451")
        c.expect(mail, b"250")
        c.expect(b"RCPT TO:<user%d@example.com>" % m, b"250")
        c.expect(b"DATA", b"354")
        body = body_of(token, self.number * MAILS + m)
        wire = stuffed(body)
        if m == MAILS - 1 and self.number % 3 == 2:
            c.send(wire[:len(wire) // 2])
            self.abandoned.append(token)
            return
        c.send(wire + b".\r\n")
        c.expect(None, b"250")
        self.accepted[token] = body
        c.expect(b"RSET", b"250")


class LoadTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Transcripts and log rows on: the sessions write them at once.
        cls.backend, cls.gateway = e2e.start_pair(e2e.AioBackend)

    @classmethod
    def tearDownClass(cls):
        e2e.stop_pair(cls.backend, cls.gateway)

    def run_round(self, round_number):
        barrier = threading.Barrier(CLIENTS)
        clients = []
        for n in range(CLIENTS):
            client = LoadClient(n, self.gateway.port, barrier, round_number)
            client.start()
            # One at a time into the listen backlog, so no connection
            # attempt is dropped and retried by the kernel.
            self.assertTrue(client.connected.wait(CLIENT_TIMEOUT), "client %d not served" % n)
            clients.append(client)
        for client in clients:
            client.join(CLIENT_TIMEOUT + 60)
            self.assertFalse(client.is_alive(), "client %d hangs" % client.number)
        return clients

    def delivered_tokens(self):
        found = collections.defaultdict(list)
        for _, _, content, _ in self.backend.messages():
            m = TOKEN.search(content)
            found[m.group(1) if m else b"?"].append(content)
        return found

    def test_every_accepted_mail_arrives_once_and_nothing_leaks(self):
        pid = self.gateway.proc.pid
        fds, tasks = proc_count(pid, "fd"), proc_count(pid, "task")
        accepted, abandoned = {}, []
        rss_rounds = []
        for r in range(ROUNDS):
            clients = self.run_round(r)
            self.assertEqual([c.error for c in clients if c.error], [])
            for c in clients:
                accepted.update(c.accepted)
                abandoned += c.abandoned
            # Sessions end once their clients have gone.
            self.assertTrue(e2e.wait_until(
                lambda: proc_count(pid, "task") <= tasks + FD_SLACK and
                proc_count(pid, "fd") <= fds + FD_SLACK, SETTLE),
                "threads %d -> %d, descriptors %d -> %d" % (
                    tasks, proc_count(pid, "task"), fds, proc_count(pid, "fd")))
            rss_rounds.append(rss_kib(pid))

        expected = CLIENTS * MAILS * ROUNDS - len(abandoned)
        self.assertEqual(len(accepted), expected)
        e2e.wait_until(lambda: len(self.backend.messages()) >= expected, SETTLE)
        delivered = self.delivered_tokens()
        for token, body in accepted.items():
            self.assertEqual(delivered.get(token), [body], token)
        self.assertEqual(set(delivered) - set(accepted), set())
        self.assertTrue(self.gateway.running())
        # A leak per session would show as growth from one round to the next.
        if ROUNDS > 1 and not instrumented(pid):
            growth = rss_rounds[-1] - rss_rounds[0]
            self.assertLess(growth, 8 * 1024, "RSS per round: %r KiB" % rss_rounds)


if __name__ == "__main__":
    unittest.main()
