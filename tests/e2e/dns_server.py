"""A small DNS server of the tests' own: UDP on loopback, A records only,
every answer chosen by a function of the query name, every query counted."""
import collections
import socket
import struct
import threading

NXDOMAIN = "nxdomain"  # the name does not exist
HANG = "hang"          # no reply at all
TTL = 600


class DnsServer:
    """answer(name) -> a list of dotted addresses, NXDOMAIN or HANG; names
    are lower case without the final dot."""

    def __init__(self, answer, host="127.0.0.1"):
        self.answer = answer
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((host, 0))
        self.sock.settimeout(0.05)
        self.address = "%s:%d" % self.sock.getsockname()
        self.lock = threading.Lock()
        self.queries = collections.Counter()
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def count(self, name):
        with self.lock:
            return self.queries[name]

    def stop(self):
        self.stopped.set()
        self.thread.join()
        self.sock.close()

    def _serve(self):
        while not self.stopped.is_set():
            try:
                query, client = self.sock.recvfrom(4096)
            except socket.timeout:
                continue
            reply = self._reply(query)
            if reply:
                self.sock.sendto(reply, client)

    def _reply(self, query):
        labels, at = [], 12
        while at < len(query) and query[at]:
            labels.append(query[at + 1:at + 1 + query[at]].decode("latin-1"))
            at += 1 + query[at]
        question_end = at + 5
        if len(query) < question_end:
            return None
        qtype = struct.unpack(">H", query[at + 1:at + 3])[0]
        name = ".".join(labels).lower()
        with self.lock:
            self.queries[name] += 1
        result = self.answer(name)
        if result == HANG:
            return None
        records = [] if result == NXDOMAIN or qtype != 1 else result
        flags = 0x8480 | (query[2] & 0x01) << 8 | (3 if result == NXDOMAIN else 0)  # QR AA RA (+RD)
        header = query[:2] + struct.pack(">HHHHH", flags, 1, len(records), 0, 0)
        answers = b"".join(b"\xc0\x0c" + struct.pack(">HHIH", 1, 1, TTL, 4) + socket.inet_aton(a)
                           for a in records)
        return header + query[12:question_end] + answers
