"""Benchmark rows of one hostile address: what a second address sees while
the first holds hundreds of sessions, the cost of the 421 answers, memory at
500 sessions, and the first reply after STARTTLS beside openssl s_server.
Used by bench.py, which passes the end-to-end harness in."""
import os
import shutil
import socket
import ssl
import statistics
import struct
import subprocess
import tempfile
import threading
import time

HOSTILE = "127.0.0.1"
OTHERS = ["127.0.0.%d" % i for i in range(10, 20)]  # one session each: no pause of theirs in the way
TRICKLE_GAP = 1.0   # s between the bytes of a trickling session
TLS_ROUNDS = 20


def first_line_seconds(host, port, source):
    """Seconds from connect to the first line, the line, and the socket."""
    start = time.perf_counter()
    s = socket.create_connection((host, port), timeout=120, source_address=(source, 0))
    data = b""
    while b"\n" not in data:
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
    return time.perf_counter() - start, data.split(b"\r\n")[0], s


def open_many(host, port, source, count):
    """`count` connections made at once; each one's first line with its
    latency, in the order of connecting."""
    results = [None] * count
    def one(i):
        results[i] = first_line_seconds(host, port, source)
    threads = [threading.Thread(target=one, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


class Trickler:
    """Sends one byte of an endless command line to each socket every
    TRICKLE_GAP seconds until stopped."""

    def __init__(self, sockets):
        self.sockets, self.stop = sockets, threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stop.wait(TRICKLE_GAP):
            for s in self.sockets:
                try:
                    s.send(b"N")
                except OSError:
                    pass

    def end(self):
        """Stops, and resets the connections: a close would hand the
        gateway the unfinished line."""
        self.stop.set()
        self.thread.join()
        for s in self.sockets:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.close()


def other_greetings(e2e, port):
    """Median seconds until another address is greeted."""
    times = []
    for other in OTHERS:
        seconds, line, s = first_line_seconds(e2e.RECV_HOST, port, other)
        s.sendall(b"QUIT\r\n")
        s.close()
        if not line.startswith(b"220"):
            raise RuntimeError("second address answered %r" % line)
        times.append(seconds)
    return statistics.median(times)


def limited_rows(e2e, rss_kib, count):
    """Default settings: one address tries `count` sessions at once (half
    of those admitted trickle); the refusals' latency and a second address's
    greeting."""
    backend = e2e.AioBackend()
    gateway = e2e.Gateway(backend.port)
    try:
        results = open_many(e2e.RECV_HOST, gateway.port, HOSTILE, count)
        refused = [seconds * 1000 for seconds, line, _ in results if line.startswith(b"421")]
        held = [s for _, line, s in results if line.startswith(b"220")]
        trickler = Trickler(held[: len(held) // 2])
        greeting = other_greetings(e2e, gateway.port)
        trickler.end()
        for _, _, s in results:
            s.close()
    finally:
        gateway.cleanup()
        backend.stop()
    return [
        ("Hostile address, %d at once: %d held, %d answered 421, 421 median (ms)" % (
            count, len(held), len(refused)), "", "%.1f" % statistics.median(refused), "", "", None),
        ("Second address greeted meanwhile, median (s)", "", "%.3f" % greeting, "", "< 1 s", greeting < 1),
    ]


def held_rows(e2e, rss_kib, count):
    """MaxSessionsPerClient and AcceptPause opened up: one address holds
    `count` sessions, half idle, half trickling; memory and a second
    address's greeting."""
    backend = e2e.AioBackend()
    gateway = e2e.Gateway(backend.port, settings={"MaxSessionsPerClient": count + 10, "AcceptPause": 0})
    try:
        before = rss_kib(gateway.proc.pid)
        results = open_many(e2e.RECV_HOST, gateway.port, HOSTILE, count)
        held = [s for _, line, s in results if line.startswith(b"220")]
        after = rss_kib(gateway.proc.pid)
        trickler = Trickler(held[: len(held) // 2])
        greeting = other_greetings(e2e, gateway.port)
        trickler.end()
        for _, _, s in results:
            s.close()
    finally:
        gateway.cleanup()
        backend.stop()
    return [
        ("Hostile address holding %d sessions, half trickling: RSS (KiB; %d -> %d)" % (len(held), before, after),
         "", "%d" % (after - before), "", "", None),
        ("Second address greeted meanwhile, median (s)", "", "%.3f" % greeting, "", "< 1 s", greeting < 1),
    ]


def make_certificate(folder):
    cert, key = os.path.join(folder, "c.pem"), os.path.join(folder, "c.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=mx.test",
                    "-days", "2", "-keyout", key, "-out", cert], check=True, capture_output=True)
    return cert, key


def client_context():
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def read_line(tls):
    data = b""
    while not data.endswith(b"\n"):
        chunk = tls.recv(4096)
        if not chunk:
            break
        data += chunk
    return data


def gateway_first_reply(e2e, port):
    """ms from the first command after the handshake to its reply."""
    s = socket.create_connection((e2e.RECV_HOST, port), timeout=30, source_address=(e2e.RELAY_HOST, 0))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    f = s.makefile("rb")
    def reply():
        while True:
            line = f.readline()
            if line[3:4] != b"-":
                return line
    reply()
    s.sendall(b"EHLO bench.test\r\n")
    reply()
    s.sendall(b"STARTTLS\r\n")
    reply()
    return first_reply_ms(client_context().wrap_socket(s))


def first_reply_ms(tls):
    """Milliseconds for the first NOOP's reply on a fresh TLS session."""
    start = time.perf_counter()
    tls.sendall(b"NOOP\r\n")
    read_line(tls)
    seconds = time.perf_counter() - start
    tls.close()
    return seconds * 1000


def s_server_first_reply(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return first_reply_ms(client_context().wrap_socket(s))


def starttls_rows(e2e):
    folder = tempfile.mkdtemp(prefix="brenvik-bench-tls-")
    cert, key = make_certificate(folder)
    backend = e2e.AioBackend()
    gateway = e2e.Gateway(backend.port, settings={"TlsCertificate": cert, "TlsKey": key, "AcceptPause": 0})
    port = e2e.free_port("127.0.0.1")
    server = subprocess.Popen(["openssl", "s_server", "-accept", "127.0.0.1:%d" % port, "-cert", cert, "-key", key,
                               "-rev", "-quiet"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        e2e.wait_until(lambda: e2e.is_listening("127.0.0.1", port))
        direct = statistics.median(s_server_first_reply(port) for _ in range(TLS_ROUNDS))
        relayed = statistics.median(gateway_first_reply(e2e, gateway.port) for _ in range(TLS_ROUNDS))
    finally:
        server.terminate()
        server.wait()
        gateway.cleanup()
        backend.stop()
        shutil.rmtree(folder, True)
    return [("First reply after the TLS handshake, median (ms; direct = openssl s_server -rev)",
             "%.2f" % direct, "%.2f" % relayed, "%+.2f ms" % (relayed - direct), "< +5 ms", relayed - direct < 5)]


def hostile_rows(e2e, rss_kib, sessions):
    return limited_rows(e2e, rss_kib, sessions) + held_rows(e2e, rss_kib, sessions) + starttls_rows(e2e)
