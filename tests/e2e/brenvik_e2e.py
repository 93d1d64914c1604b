"""Harness of the end-to-end tests: the real brenvik binary in a temporary
machine root, behind a real SMTP server (aiosmtpd) or a scripted one, driven
over loopback.

Every wait is a bounded poll; every process and server started here is
stopped by the test that started it.
"""
import atexit
import os
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import tempfile
import threading
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP as AioSMTP

BRENVIK = os.environ.get("BRENVIK_BIN", "")
RECV_HOST = "127.0.0.2"    # the gateway's receive address
CLIENT_HOST = "127.0.0.1"  # plain clients: not relay-allowed
RELAY_HOST = "127.0.0.3"   # a client the relay list allows
BACKEND_HOST = "127.0.0.1"

ACCEPTED_DOMAIN = "@example.com"
WHITELISTED_DOMAIN = "@trusted.example"

START_TIMEOUT = 10.0   # seconds until the listener must be up
STOP_TIMEOUT = 5.0     # seconds after SIGTERM before SIGKILL
SETTLE_TIMEOUT = 5.0   # seconds for a session to finish its writes
IO_TIMEOUT = 60.0      # per socket operation of a client

EVENT_ERROR = "Ein Fehler ist aufgetreten: "
EVENT_INFO = "Erfolgsmeldung: "


def require_binary(testcase_module_name=""):
    """Raises unittest.SkipTest when the binary is not there yet."""
    import unittest
    if not BRENVIK or not os.access(BRENVIK, os.X_OK):
        raise unittest.SkipTest("brenvik binary not built: %r" % BRENVIK)


def free_port(host):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout=SETTLE_TIMEOUT, step=0.02):
    """Polls predicate until it returns a true value or timeout passes;
    returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def is_listening(host, port):
    """True when a socket listens on host:port (read from /proc, so that
    probing makes no connection the gateway would serve)."""
    wanted = "%s:%04X" % ("".join("%02X" % int(b) for b in reversed(host.split("."))), port)
    try:
        with open("/proc/net/tcp") as f:
            next(f)
            for line in f:
                fields = line.split()
                if fields[1] == wanted and fields[3] == "0A":
                    return True
    except OSError:
        pass
    return False


def reg_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def write_registry(sysroot, values):
    """The registry file with the given settings (name -> text)."""
    folder = os.path.join(sysroot, "etc", "brenvik")
    os.makedirs(folder, exist_ok=True)
    lines = ["REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\Software\\Vikmar]"]
    for name, value in values.items():
        lines.append("%s=%s" % (reg_string(name), reg_string(str(value))))
    lines.append("")
    with open(os.path.join(folder, "registry.reg"), "w", newline="\r\n") as f:
        f.write("\n".join(lines))


# ---------------------------------------------------------------------------
# Database: the schema is whatever brenvik creates; a template is made once
# per test process by letting brenvik create spam.mdb.

_template_lock = threading.Lock()
_template_path = None


def _make_template():
    root = tempfile.mkdtemp(prefix="brenvik-template-")
    atexit.register(shutil.rmtree, root, True)
    work = os.path.join(root, "work")
    os.makedirs(work)
    port = free_port(RECV_HOST)
    write_registry(root, {"RecvHost": RECV_HOST, "RecvPort": port,
                          "SendHost": BACKEND_HOST, "SendPort": free_port(BACKEND_HOST),
                          "WorkDir": work})
    proc = subprocess.Popen([BRENVIK], env=_child_env(root), cwd=root,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        if not wait_until(lambda: is_listening(RECV_HOST, port), START_TIMEOUT):
            raise RuntimeError("brenvik did not start listening (template run)")
    finally:
        proc.kill()
        proc.wait()
    template = os.path.join(root, "template.mdb")
    src = sqlite3.connect(os.path.join(work, "spam.mdb"))
    dst = sqlite3.connect(template)
    src.backup(dst)
    dst.execute("PRAGMA journal_mode=DELETE")
    dst.close()
    src.close()
    return template


def template_database():
    global _template_path
    with _template_lock:
        if _template_path is None:
            _template_path = _make_template()
        return _template_path


def _child_env(sysroot):
    env = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "BRENVIK_DEBUG")}
    env["BRENVIK_SYSROOT"] = sysroot
    return env


class Database:
    """Direct access to a gateway's spam.mdb (WAL: readable while it runs)."""

    def __init__(self, path):
        self.path = path

    def _connect(self):
        db = sqlite3.connect(self.path, timeout=10)
        db.text_factory = bytes
        return db

    def execute(self, sql, params=()):
        db = self._connect()
        try:
            with db:
                db.execute(sql, params)
        finally:
            db.close()

    def query(self, sql, params=()):
        db = self._connect()
        try:
            return [tuple(v.decode("latin-1") if isinstance(v, bytes) else v for v in row)
                    for row in db.execute(sql, params)]
        finally:
            db.close()

    def liste(self, email=None):
        sql = ("SELECT Email, WieOft, IpAdresse, LastEdit, FirstMail, SecondMail, SenderBadMail "
               "FROM Liste")
        if email is None:
            return self.query(sql + " ORDER BY rowid")
        return self.query(sql + " WHERE Email = ? ORDER BY rowid", (email,))

    def log_rows(self):
        return self.query("SELECT Email, Logtext, Ip, Timestmp FROM LogTable ORDER BY rowid")

    def tables(self):
        return {r[0] for r in self.query("SELECT name FROM sqlite_master WHERE type = 'table'")}


# ---------------------------------------------------------------------------
# The gateway process.

class Gateway:
    """brenvik in a temporary machine root.

    domains / relays / whitelist fill SpamSystem Typ 1, Typ 2 and Liste
    before the start; settings override the registry values."""

    def __init__(self, backend_port, domains=(ACCEPTED_DOMAIN,), relays=(RELAY_HOST,),
                 whitelist=(WHITELISTED_DOMAIN,), settings=None, database_bytes=None,
                 wait_for_listener=True):
        self.root = tempfile.mkdtemp(prefix="brenvik-e2e-")
        self.work = os.path.join(self.root, "work")
        os.makedirs(self.work)
        self.port = free_port(RECV_HOST)
        self.backend_port = backend_port
        values = {"RecvPort": self.port, "RecvHost": RECV_HOST,
                  "SendPort": backend_port, "SendHost": BACKEND_HOST,
                  "Logging": 1, "WorkDir": self.work, "GarbageCollector": 0,
                  "CheckBadMailAdr": 0, "StatusMail": "", "LogDB": 1}
        values.update(settings or {})
        self.port = int(values["RecvPort"])
        write_registry(self.root, values)
        self.db = Database(os.path.join(self.work, "spam.mdb"))
        if database_bytes is not None:
            with open(self.db.path, "wb") as f:
                f.write(database_bytes)
        else:
            shutil.copyfile(template_database(), self.db.path)
            for d in domains:
                self.db.execute("INSERT INTO SpamSystem (what, Typ) VALUES (?, 1)", (d,))
            for r in relays:
                self.db.execute("INSERT INTO SpamSystem (what, Typ) VALUES (?, 2)", (r,))
            for w in whitelist:
                self.db.execute("INSERT INTO Liste (Email) VALUES (?)", (w,))
        self.stderr_path = os.path.join(self.root, "stderr.txt")
        self._stderr = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen([BRENVIK], env=_child_env(self.root), cwd=self.root,
                                     stdin=subprocess.DEVNULL, stdout=self._stderr,
                                     stderr=self._stderr)
        if wait_for_listener and not (wait_until(self._up, START_TIMEOUT) and self.running()):
            out = self.stderr_text()
            self.stop()
            raise RuntimeError("brenvik did not start listening; output:\n" + out)

    def _up(self):
        if self.proc.poll() is not None:
            return True  # ended: let the caller see why
        return is_listening(RECV_HOST, self.port)

    def stderr_text(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("latin-1")

    def wait_for_output(self, text, timeout=SETTLE_TIMEOUT):
        return wait_until(lambda: text in self.stderr_text(), timeout)

    def running(self):
        return self.proc.poll() is None

    def stop(self):
        """SIGTERM, then SIGKILL after STOP_TIMEOUT; returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._stderr.close()
        return self.proc.returncode

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def finish(self):
        """Stops the gateway; raises when it did not end cleanly (exit status,
        sanitizer reports), keeping its folder for inspection."""
        code = self.stop()
        output = self.stderr_text()
        if code != 0 or "Sanitizer" in output or "runtime error:" in output:
            raise AssertionError("brenvik ended with %r; folder %s; output:\n%s" % (
                code, self.root, output[-4000:]))
        shutil.rmtree(self.root, ignore_errors=True)

    # Transcripts -----------------------------------------------------------

    def transcript_names(self):
        folder = os.path.join(self.work, "maillog")
        if not os.path.isdir(folder):
            return set()
        return set(os.listdir(folder))

    def read_transcript(self, name):
        with open(os.path.join(self.work, "maillog", name), "rb") as f:
            return f.read()

    def new_transcript(self, before, ends_with=None, timeout=SETTLE_TIMEOUT):
        """The one transcript created since `before` (a transcript_names()
        result), once it ends with `ends_with` (bytes) or satisfies it (a
        function of the content) when given."""
        def ready():
            new = self.transcript_names() - before
            if len(new) != 1:
                return None
            name = new.pop()
            content = self.read_transcript(name)
            if callable(ends_with):
                if not ends_with(content):
                    return None
            elif ends_with is not None and not content.endswith(ends_with):
                return None
            return content
        content = wait_until(ready, timeout)
        if content is None:
            new = self.transcript_names() - before
            raise AssertionError("no finished transcript; new files: %r, contents: %r" % (
                new, [self.read_transcript(n) for n in new]))
        return content


# ---------------------------------------------------------------------------
# Backends.

class RecordingHandler:
    """aiosmtpd handler keeping every envelope delivered."""

    def __init__(self):
        self.lock = threading.Lock()
        self.envelopes = []

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.envelopes.append((envelope.mail_from, list(envelope.rcpt_tos),
                                   bytes(envelope.original_content), list(envelope.mail_options)))
        return "250 Message accepted for delivery"

    def messages(self):
        with self.lock:
            return list(self.envelopes)

    def find(self, mail_from):
        return [e for e in self.messages() if e[0] == mail_from]


class LongLineSMTP(AioSMTP):
    # Mail data may carry long lines; the gateway passes them unchanged.
    line_length_limit = 1 << 20


class _LongLineController(Controller):
    def factory(self):
        return LongLineSMTP(self.handler, **self.SMTP_kwargs)


class AioBackend:
    """A real SMTP server (aiosmtpd) on loopback that records mails."""

    def __init__(self):
        self.handler = RecordingHandler()
        self.port = free_port(BACKEND_HOST)
        self.controller = _LongLineController(self.handler, hostname=BACKEND_HOST, port=self.port,
                                              server_hostname="backend.test",
                                              data_size_limit=64 << 20)
        self.controller.start()

    def stop(self):
        self.controller.stop()


class ScriptedBackend:
    """A minimal SMTP responder whose replies a test chooses, sent in the
    pieces the test gives (so replies can be split over TCP segments).

    replies: command word (first four letters, upper case) -> list of byte
    pieces; data_reply: pieces after the end of the mail data."""

    PIECE_GAP = 0.2  # seconds between the pieces of one split reply
    CLOSE = b"<close>"  # a piece that makes the backend drop the connection

    def __init__(self, greeting=(b"220 scripted.test ESMTP\r\n",), replies=None,
                 data_reply=(b"250 2.0.0 queued\r\n",)):
        self.greeting = list(greeting)
        self.replies = {
            "EHLO": [b"250-scripted.test\r\n250 8BITMIME\r\n"],
            "HELO": [b"250 scripted.test\r\n"],
            "MAIL": [b"250 2.1.0 sender ok\r\n"],
            "RCPT": [b"250 2.1.5 recipient ok\r\n"],
            "DATA": [b"354 go ahead\r\n"],
            "RSET": [b"250 2.0.0 reset\r\n"],
            "NOOP": [b"250 2.0.0 noop\r\n"],
            "QUIT": [b"221 2.0.0 bye\r\n"],
        }
        self.replies.update(replies or {})
        self.data_reply = list(data_reply)
        self.lock = threading.Lock()
        self.commands = []   # every command line received, without CR LF
        self.messages = []   # mail data received, up to and including the end mark
        self.connections = 0
        self.port = free_port(BACKEND_HOST)
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((BACKEND_HOST, self.port))
        self.listener.listen(16)
        self.listener.settimeout(0.1)
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._accept_loop, daemon=True)
        self.thread.start()

    def _accept_loop(self):
        while not self.stopping.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                self.connections += 1
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _send(self, conn, pieces):
        for i, piece in enumerate(pieces):
            if i:
                time.sleep(self.PIECE_GAP)
            if piece is self.CLOSE:
                conn.shutdown(socket.SHUT_RDWR)
                raise ConnectionAbortedError("closed by the script")
            conn.sendall(piece)

    def _serve(self, conn):
        conn.settimeout(IO_TIMEOUT)
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        buffer = b""
        try:
            self._send(conn, self.greeting)
            data_mode = False
            while not self.stopping.is_set():
                if data_mode:
                    if buffer.startswith(b".\r\n"):
                        cut = 3
                    else:
                        mark = buffer.find(b"\r\n.\r\n")
                        cut = mark + 5 if mark >= 0 else 0
                    if not cut:
                        chunk = conn.recv(65536)
                        if not chunk:
                            return
                        buffer += chunk
                        continue
                    with self.lock:
                        self.messages.append(buffer[:cut])
                    buffer = buffer[cut:]
                    data_mode = False
                    self._send(conn, self.data_reply)
                    continue
                if b"\n" not in buffer:
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    buffer += chunk
                    continue
                line, buffer = buffer.split(b"\n", 1)
                line = line.rstrip(b"\r")
                with self.lock:
                    self.commands.append(line)
                word = line[:4].decode("latin-1").upper()
                reply = self.replies.get(word, [b"500 5.5.2 unknown command\r\n"])
                self._send(conn, reply)
                if word == "DATA" and reply and reply[0].startswith(b"354"):
                    data_mode = True
                if word == "QUIT":
                    return
        except OSError:
            return
        finally:
            conn.close()

    def received(self):
        with self.lock:
            return list(self.commands), list(self.messages)

    def stop(self):
        self.stopping.set()
        self.listener.close()
        self.thread.join(5)


# ---------------------------------------------------------------------------
# A raw client for what smtplib will not send.

class RawClient:
    def __init__(self, port, source=CLIENT_HOST, host=RECV_HOST, timeout=IO_TIMEOUT):
        self.sock = socket.create_connection((host, port), timeout=timeout,
                                             source_address=(source, 0))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def send(self, data):
        self.sock.sendall(data)

    def read_line(self):
        """One line without CR LF; None when the gateway closed."""
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                if self.buffer:
                    line, self.buffer = self.buffer, b""
                    return line
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line[:-1] if line.endswith(b"\r") else line

    def read_reply(self):
        """The lines of one reply up to its final line; [] when closed first."""
        lines = []
        while True:
            line = self.read_line()
            if line is None:
                return lines
            lines.append(line)
            if len(line) < 4 or line[3:4] != b"-":
                return lines

    def closed_by_peer(self):
        """True when the gateway closes the connection without sending more."""
        if self.buffer:
            return False
        try:
            return self.sock.recv(1) == b""
        except ConnectionResetError:
            return True

    def close(self):
        self.sock.close()


def transcript_lines(content):
    """A transcript's entries; asserts every entry ends in exactly CR LF."""
    assert content.endswith(b"\r\n"), content[-40:]
    entries = content[:-2].split(b"\r\n")
    return [e.decode("latin-1") for e in entries]


DATE_TIME = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
