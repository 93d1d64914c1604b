#!/usr/bin/python3
"""Brenvik benchmarks: one table of figures measured side by side in one run.

    bench/bench.py --build build/bench [--short]

scripts/bench.sh builds build/bench and runs this. The network figures drive
the real brenvik binary in a temporary machine root in front of a real SMTP
server (aiosmtpd) over loopback, through the end-to-end harness; the
database figures come from brenvik_dbbench on a real spam.mdb. Nothing here
judges a figure as a failure: the last column only says whether the target
was reached on this run.
"""
import argparse
import datetime
import math
import os
import platform
import resource
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

FULL = {
    "latency_commands": 2000, "mails": 10, "idle_sessions": 50,
    "data_sizes": (1_000_000, 10_000_000),
    "greylist_rows": (10_000, 100_000, 1_000_000), "decisions": 20_000, "threads": (1, 8),
    "purge_rows": 1_000_000, "hostile_sessions": 500,
}
SHORT = {
    "latency_commands": 200, "mails": 1, "idle_sessions": 4,
    "data_sizes": (100_000,),
    "greylist_rows": (1_000, 10_000), "decisions": 400, "threads": (1, 8),
    "purge_rows": 20_000, "hostile_sessions": 40,
}

ACCEPT_PAUSE = 0.55     # s; the gateway takes one connection per 500 ms
PACING_BLOCK = 50_000   # bytes per read in the data phase ...
PACING_PAUSE = 0.5      # ... each followed by this pause (s)
LINE = b"X" * 76 + b"\r\n"


class Client:
    """A plain SMTP client on a raw socket, for exact timing."""

    def __init__(self, host, port, source):
        self.sock = socket.create_connection((host, port), timeout=300,
                                             source_address=(source, 0))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def reply(self):
        """The final line of the next reply."""
        while True:
            while b"\n" not in self.buffer:
                chunk = self.sock.recv(65536)
                if not chunk:
                    raise ConnectionError("closed by peer")
                self.buffer += chunk
            line, self.buffer = self.buffer.split(b"\n", 1)
            line = line.rstrip(b"\r")
            if len(line) < 4 or line[3:4] != b"-":
                return line

    def command(self, line, expect=b"2"):
        self.sock.sendall(line + b"\r\n")
        answer = self.reply()
        if not answer.startswith(expect):
            raise RuntimeError("%r answered %r" % (line, answer))
        return answer

    def close(self):
        self.sock.close()


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(math.ceil(p / 100.0 * len(ordered))) - 1)]


def command_latencies(host, port, source, count):
    """Round trips of alternating NOOP and RSET in one session, in µs."""
    c = Client(host, port, source)
    try:
        c.reply()
        c.command(b"EHLO bench.test")
        times = []
        for i in range(count):
            line = b"NOOP" if i % 2 == 0 else b"RSET"
            start = time.perf_counter_ns()
            c.command(line)
            times.append((time.perf_counter_ns() - start) / 1000.0)
        c.command(b"QUIT")
        return times
    finally:
        c.close()


def message(tag, size=0):
    head = b"From: bench@example.org\r\nTo: user@example.com\r\nSubject: " + tag + b"\r\n\r\n"
    body = LINE * max(1, (size - len(head)) // len(LINE))
    return head + body


def whole_mail(host, port, source, sender, body):
    """Seconds from connect to the answer of QUIT."""
    start = time.perf_counter()
    c = Client(host, port, source)
    try:
        c.reply()
        c.command(b"EHLO bench.test")
        c.command(b"MAIL FROM:<" + sender + b">")
        c.command(b"RCPT TO:<user@example.com>")
        c.command(b"DATA", b"354")
        c.sock.sendall(body + b".\r\n")
        if not c.reply().startswith(b"250"):
            raise RuntimeError("mail refused")
        c.command(b"QUIT")
    finally:
        c.close()
    return time.perf_counter() - start


def deferred_attempt(port, sender):
    c = Client(e2e.RECV_HOST, port, e2e.CLIENT_HOST)
    try:
        c.reply()
        c.command(b"EHLO bench.test")
        c.command(b"MAIL FROM:<" + sender + b">", b"451")
        c.command(b"QUIT")
    finally:
        c.close()


def data_phase(host, port, source, size):
    """Seconds from the end of the 354 to the answer of the mail data."""
    c = Client(host, port, source)
    try:
        c.reply()
        c.command(b"EHLO bench.test")
        c.command(b"MAIL FROM:<data@example.org>")
        c.command(b"RCPT TO:<user@example.com>")
        c.command(b"DATA", b"354")
        body = message(b"data", size)
        start = time.perf_counter()
        c.sock.sendall(body + b".\r\n")
        if not c.reply().startswith(b"250"):
            raise RuntimeError("data refused")
        seconds = time.perf_counter() - start
        c.command(b"QUIT")
        return seconds, len(body) + 3
    finally:
        c.close()


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def idle_session_memory(gateway, count):
    """Resident KiB per open idle session, at `count` sessions."""
    warm = Client(e2e.RECV_HOST, gateway.port, e2e.RELAY_HOST)
    warm.reply()
    warm.command(b"QUIT")
    warm.close()
    time.sleep(ACCEPT_PAUSE)
    before = rss_kib(gateway.proc.pid)
    clients = []
    try:
        for _ in range(count):
            c = Client(e2e.RECV_HOST, gateway.port, e2e.RELAY_HOST)
            c.reply()  # accepted, backend connected, greeting relayed
            clients.append(c)
        after = rss_kib(gateway.proc.pid)
    finally:
        for c in clients:
            c.close()
    return (after - before) / float(count), before, after


def network_rows(cfg):
    rows = []
    backend = e2e.AioBackend()
    gateway = None
    try:
        gateway = e2e.Gateway(backend.port)
        host, port = e2e.RECV_HOST, gateway.port
        direct = (e2e.BACKEND_HOST, backend.port)

        d = command_latencies(*direct, e2e.RELAY_HOST, cfg["latency_commands"])
        time.sleep(ACCEPT_PAUSE)
        g = command_latencies(host, port, e2e.RELAY_HOST, cfg["latency_commands"])
        dm, gm = statistics.median(d), statistics.median(g)
        dp, gp = percentile(d, 99), percentile(g, 99)
        rows.append(("NOOP/RSET round trip, median (µs)", "%.0f" % dm, "%.0f" % gm,
                     "%+.0f µs" % (gm - dm), "< +100 µs", gm - dm < 100))
        rows.append(("NOOP/RSET round trip, p99 (µs)", "%.0f" % dp, "%.0f" % gp,
                     "%+.0f µs" % (gp - dp), "", None))

        body = message(b"whole", 2000)
        direct_times, relay_times, retry_times = [], [], []
        for i in range(cfg["mails"]):
            direct_times.append(whole_mail(*direct, e2e.RELAY_HOST, b"relay%d@example.org" % i, body))
            time.sleep(ACCEPT_PAUSE)
            relay_times.append(whole_mail(host, port, e2e.RELAY_HOST, b"relay%d@example.org" % i, body))
            sender = b"retry%d.%d@example.org" % (i, os.getpid())
            time.sleep(ACCEPT_PAUSE)
            deferred_attempt(port, sender)
            time.sleep(ACCEPT_PAUSE)
            retry_times.append(whole_mail(host, port, e2e.CLIENT_HOST, sender, body))
        dmail = statistics.median(direct_times) * 1000
        rmail = statistics.median(relay_times) * 1000
        gmail = statistics.median(retry_times) * 1000
        rows.append(("Whole mail 2 kB, relay-allowed client (ms)", "%.1f" % dmail, "%.1f" % rmail,
                     "x%.0f" % (rmail / dmail), "", None))
        rows.append(("Whole mail 2 kB, greylisted sender's retry (ms)", "%.1f" % dmail,
                     "%.1f" % gmail, "x%.0f" % (gmail / dmail), "", None))

        for size in cfg["data_sizes"]:
            time.sleep(ACCEPT_PAUSE)
            dsec, sent = data_phase(*direct, e2e.RELAY_HOST, size)
            time.sleep(ACCEPT_PAUSE)
            gsec, sent = data_phase(host, port, e2e.RELAY_HOST, size)
            floor = math.ceil(sent / PACING_BLOCK) * PACING_PAUSE
            ratio = gsec / floor
            rows.append(("Data phase %s (s; ratio to pacing floor %.1f s)" % (size_text(size), floor),
                         "%.3f" % dsec, "%.2f" % gsec, "%.3f" % ratio, "<= 1.10", ratio <= 1.10))

        time.sleep(ACCEPT_PAUSE)
        per, before, after = idle_session_memory(gateway, cfg["idle_sessions"])
        rows.append(("RSS per idle session at %d sessions (KiB; %d -> %d)" % (
                     cfg["idle_sessions"], before, after), "", "%.0f" % per, "", "< 256 KiB",
                     per < 256))
    finally:
        if gateway:
            gateway.cleanup()
        backend.stop()
    return rows


def unpaced_rows(cfg):
    """The same whole mail and largest data phase with AcceptPause and
    DataPause set to 0."""
    rows = []
    backend = e2e.AioBackend()
    gateway = None
    try:
        gateway = e2e.Gateway(backend.port, settings={"AcceptPause": 0, "DataPause": 0})
        host, port = e2e.RECV_HOST, gateway.port
        direct = (e2e.BACKEND_HOST, backend.port)
        body = message(b"unpaced", 2000)
        direct_times, relay_times = [], []
        for i in range(cfg["mails"]):
            direct_times.append(whole_mail(*direct, e2e.RELAY_HOST, b"fast%d@example.org" % i, body))
            relay_times.append(whole_mail(host, port, e2e.RELAY_HOST, b"fast%d@example.org" % i, body))
        dmail = statistics.median(direct_times) * 1000
        rmail = statistics.median(relay_times) * 1000
        rows.append(("Whole mail 2 kB, relay-allowed, pauses 0 (ms)", "%.1f" % dmail, "%.1f" % rmail,
                     "x%.1f" % (rmail / dmail), "", None))
        size = max(cfg["data_sizes"])
        dsec, _ = data_phase(*direct, e2e.RELAY_HOST, size)
        gsec, _ = data_phase(host, port, e2e.RELAY_HOST, size)
        rows.append(("Data phase %s, pauses 0 (s)" % size_text(size), "%.3f" % dsec, "%.3f" % gsec,
                     "x%.1f" % (gsec / dsec), "", None))
    finally:
        if gateway:
            gateway.cleanup()
        backend.stop()
    return rows


def size_text(size):
    return "%d MB" % (size // 1_000_000) if size >= 1_000_000 else "%d kB" % (size // 1000)


def db_bench(binary, args, env=None):
    folder = tempfile.mkdtemp(prefix="brenvik-dbbench-", dir=os.path.dirname(binary))
    out = subprocess.run([binary, args[0], folder] + [str(a) for a in args[1:]],
                         check=True, capture_output=True, text=True,
                         env=dict(os.environ, **(env or {})))
    results = []
    for line in out.stdout.splitlines():
        results.append(dict(field.split("=", 1) for field in line.split()))
    return results


def database_rows(cfg, dbbench):
    rows = []
    largest = max(cfg["greylist_rows"])
    target_rows = 1_000_000  # the target is set for this size only
    for count in cfg["greylist_rows"]:
        for r in db_bench(dbbench, ["greylist", count, cfg["decisions"]] + list(cfg["threads"])):
            rate = float(r["rate"])
            is_target = count == target_rows
            rows.append(("CheckSender, %s rows, %s thread(s) (decisions/s)" % (
                         "{:,}".format(count), r["threads"]), "", "%.0f" % rate, "",
                         ">= 20000" if is_target else "", rate >= 20000 if is_target else None))
    for r in db_bench(dbbench, ["greylist", largest, cfg["decisions"]] + list(cfg["threads"]),
                      {"BRENVIK_BENCH_SYNCHRONOUS": "FULL"}):
        rows.append(("  same, %s rows, %s thread(s), flush on every commit" % (
                     "{:,}".format(largest), r["threads"]), "", "%.0f" % float(r["rate"]), "",
                     "(comparison)", None))
    r = db_bench(dbbench, ["purge", cfg["purge_rows"]])[0]
    seconds = float(r["seconds"])
    rows.append(("Purge, %s rows, %s stale (s)" % ("{:,}".format(int(r["rows"])),
                 "{:,}".format(int(r["purged"]))), "", "%.2f" % seconds, "", "< 3 s", seconds < 3))
    return rows


def server_rows(cfg, dbbench):
    """The same runs on a private PostgreSQL server: 1 and 8 threads, two
    processes at once on one database (as two gateways), the purge."""
    try:
        pg = e2e.PgServer()
    except unittest.SkipTest as why:
        return [("PostgreSQL: %s" % why, "", "", "", "", None)]
    rows = []
    try:
        largest = max(cfg["greylist_rows"])
        env = {"BRENVIK_BENCH_SERVER": pg.createdb("bench_greylist")}
        for r in db_bench(dbbench, ["greylist", largest, cfg["decisions"]] + list(cfg["threads"]), env):
            rows.append(("PostgreSQL CheckSender, %s rows, %s thread(s) (decisions/s)" % (
                         "{:,}".format(largest), r["threads"]), "", "%.0f" % float(r["rate"]), "", "", None))
        reuse = dict(env, BRENVIK_BENCH_REUSE="1")
        results = [None, None]

        def one(index):
            results[index] = db_bench(dbbench, ["greylist", largest, cfg["decisions"], 1],
                                      dict(reuse, BRENVIK_BENCH_BASE=str((index + 1) * 10_000_000)))[0]

        workers = [threading.Thread(target=one, args=(i,)) for i in range(2)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        together = sum(float(r["rate"]) for r in results)
        rows.append(("PostgreSQL CheckSender, %s rows, two processes at once (decisions/s together)" % (
                     "{:,}".format(largest)), "", "%.0f" % together, "", ">= 5000", together >= 5000))
        env = {"BRENVIK_BENCH_SERVER": pg.createdb("bench_purge")}
        r = db_bench(dbbench, ["purge", cfg["purge_rows"]], env)[0]
        rows.append(("PostgreSQL purge, %s rows, %s stale (s)" % ("{:,}".format(int(r["rows"])),
                     "{:,}".format(int(r["purged"]))), "", "%.2f" % float(r["seconds"]), "", "", None))
    finally:
        pg.remove()
    return rows


def print_table(rows, short):
    header = ("Measure", "Direct", "Brenvik", "Ratio / added", "Target", "Met")
    body = [(m, d, g, r, t, "" if ok is None else ("yes" if ok else "no"))
            for m, d, g, r, t, ok in rows]
    widths = [max(len(str(row[i])) for row in [header] + body) for i in range(len(header))]
    line = lambda row: "| " + " | ".join(str(v).ljust(w) for v, w in zip(row, widths)) + " |"
    print("Brenvik benchmarks%s, %s, %s, %d cores" % (
        " (short mode)" if short else "", datetime.date.today().isoformat(), platform.machine(),
        os.cpu_count()))
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in body:
        print(line(row))


PARTS = ["network", "unpaced", "hostile", "file", "server"]  # in the table's order


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="build folder of bench/CMakeLists.txt")
    parser.add_argument("--short", action="store_true", help="small counts (CI)")
    parser.add_argument("--only", nargs="+", choices=PARTS, default=PARTS,
                        help="some parts of the table only")
    args = parser.parse_args()
    cfg = SHORT if args.short else FULL
    # Hundreds of sessions: their clients and the backend's ends in this process.
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    build = os.path.abspath(args.build)
    binary = os.path.join(build, "brenvik")
    os.environ["BRENVIK_BIN"] = binary
    sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
    global e2e
    import brenvik_e2e as e2e
    import hostile
    dbbench = os.path.join(build, "brenvik_dbbench")
    parts = {"network": lambda: network_rows(cfg), "unpaced": lambda: unpaced_rows(cfg),
             "hostile": lambda: hostile.hostile_rows(e2e, rss_kib, cfg["hostile_sessions"]),
             "file": lambda: database_rows(cfg, dbbench), "server": lambda: server_rows(cfg, dbbench)}
    rows = []
    for part in PARTS:
        if part in args.only:
            rows += parts[part]()
    print_table(rows, args.short)


if __name__ == "__main__":
    main()
