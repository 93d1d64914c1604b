"""Harness of the end-to-end tests: the real brenvik binary in a temporary
machine root, behind a real SMTP server (aiosmtpd) or a scripted one, driven
over loopback. Every wait is a bounded poll; every process and server
started here is stopped by the test that started it."""
import atexit
import os
import re
import shutil
import signal
import socket
import socketserver
import sqlite3
import struct
import subprocess
import tempfile
import threading
import time
import unittest

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
DATE_TIME = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
TEMPLATE = object()  # Gateway(database=...): a copy of the template spam.mdb


def require_binary():
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
    """Read from /proc, so that probing makes no connection the gateway
    would serve."""
    wanted = "%s:%04X" % ("".join("%02X" % int(b) for b in reversed(host.split("."))), port)
    with open("/proc/net/tcp") as f:
        return any(l.split()[1] == wanted and l.split()[3] == "0A" for l in list(f)[1:])


def write_registry(sysroot, values):
    """The registry file with the given settings (name -> text)."""
    quote = lambda text: '"' + str(text).replace("\\", "\\\\").replace('"', '\\"') + '"'
    folder = os.path.join(sysroot, "etc", "brenvik")
    os.makedirs(folder, exist_ok=True)
    lines = ["REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\Software\\Vikmar]"]
    lines += ["%s=%s" % (quote(name), quote(value)) for name, value in values.items()]
    with open(os.path.join(folder, "registry.reg"), "w", newline="\r\n") as f:
        f.write("\n".join(lines + [""]))


_template_path = None


def template_database():
    """spam.mdb as brenvik itself creates it, made once per test process."""
    global _template_path
    if _template_path is None:
        folder = tempfile.mkdtemp(prefix="brenvik-template-")
        atexit.register(shutil.rmtree, folder, True)
        gateway = Gateway(free_port(BACKEND_HOST), database=None)
        path = os.path.join(folder, "spam.mdb")
        src, dst = sqlite3.connect(gateway.db.path), sqlite3.connect(path)
        src.backup(dst)
        dst.execute("PRAGMA journal_mode=DELETE")  # one plain file to copy
        dst.close()
        src.close()
        gateway.cleanup()
        _template_path = path
    return _template_path


class Database:
    """Direct access to a gateway's spam.mdb (WAL: readable while it runs)."""

    def __init__(self, path):
        self.path = path

    def execute(self, sql, params=()):
        self.query(sql, params)

    def query(self, sql, params=()):
        db = sqlite3.connect(self.path, timeout=10)
        db.text_factory = bytes
        try:
            with db:
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


class Gateway:
    """brenvik in a temporary machine root. domains / relays / whitelist fill
    SpamSystem Typ 1, Typ 2 and Liste of the template database before the
    start; database may instead be None (brenvik creates it) or the bytes of
    the file; settings override the registry values; user (a pwd entry)
    runs it unprivileged; launcher (a command list) runs it through that
    command; env adds to its environment; start=False leaves the start to
    start_process."""

    def __init__(self, backend_port, domains=(ACCEPTED_DOMAIN,), relays=(RELAY_HOST,),
                 whitelist=(WHITELISTED_DOMAIN,), settings=None, database=TEMPLATE,
                 wait_for_listener=True, user=None, launcher=(), env=None, start=True):
        self.root = tempfile.mkdtemp(prefix="brenvik-e2e-")
        self.work = os.path.join(self.root, "work")
        os.makedirs(self.work)
        values = {"RecvPort": free_port(RECV_HOST), "RecvHost": RECV_HOST,
                  "SendPort": backend_port, "SendHost": BACKEND_HOST,
                  "Logging": 1, "WorkDir": self.work, "GarbageCollector": 0,
                  "CheckBadMailAdr": 0, "StatusMail": "", "LogDB": 1}
        values.update(settings or {})
        self.host, self.port = values["RecvHost"], int(values["RecvPort"])
        write_registry(self.root, values)
        self.db = Database(os.path.join(self.work, "spam.mdb"))
        if database is TEMPLATE:
            shutil.copyfile(template_database(), self.db.path)
            for typ, entries in ((1, domains), (2, relays)):
                for entry in entries:
                    self.db.execute("INSERT INTO SpamSystem (what, Typ) VALUES (?, ?)",
                                    (entry, typ))
            for entry in whitelist:
                self.db.execute("INSERT INTO Liste (Email) VALUES (?)", (entry,))
        elif database is not None:
            with open(self.db.path, "wb") as f:
                f.write(database)
        self.stderr_path = os.path.join(self.root, "stderr.txt")
        self._stderr = open(self.stderr_path, "wb")
        self.proc, self.user, self.launcher, self.env = None, user, list(launcher), dict(env or {})
        if user:
            os.chmod(self.root, 0o755)
            for folder, _, files in os.walk(self.root):
                for path in [folder] + [os.path.join(folder, f) for f in files]:
                    os.chown(path, user.pw_uid, user.pw_gid)
        if start:
            self.start_process(wait_for_listener)

    def start_process(self, wait_for_listener=True):
        env = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "BRENVIK_DEBUG")}
        env["BRENVIK_SYSROOT"] = self.root
        env.update(self.env)
        user = ["setpriv", "--reuid=%d" % self.user.pw_uid, "--regid=%d" % self.user.pw_gid,
                "--clear-groups"] if self.user else []
        self.proc = subprocess.Popen(self.launcher + user + [BRENVIK], env=env, cwd=self.root, stdin=subprocess.DEVNULL,
                                     stdout=self._stderr, stderr=self._stderr)
        # An early end counts as up, so that the caller sees why.
        up = lambda: not self.running() or is_listening(self.host, self.port)
        if wait_for_listener and not (wait_until(up, START_TIMEOUT) and self.running()):
            out = self.stderr_text()
            self.stop()
            raise RuntimeError("brenvik did not start listening; output:\n" + out)

    def stderr_text(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("latin-1")

    def wait_for_output(self, text):
        return wait_until(lambda: text in self.stderr_text(), START_TIMEOUT)

    def running(self):
        return self.proc.poll() is None

    def stop(self):
        """SIGTERM, then SIGKILL after STOP_TIMEOUT; returns the exit status."""
        if self.proc and self.running():
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._stderr.close()
        return self.proc and self.proc.returncode

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

    def transcript_names(self):
        folder = os.path.join(self.work, "maillog")
        return set(os.listdir(folder)) if os.path.isdir(folder) else set()

    def new_transcript(self, before, ends_with=b"\r\n"):
        """The one transcript created since `before` (a transcript_names()
        result), once it ends with ends_with (bytes) or satisfies it."""
        done = ends_with if callable(ends_with) else lambda t: t.endswith(ends_with)

        def ready():
            new = self.transcript_names() - before
            if len(new) != 1:
                return None
            with open(os.path.join(self.work, "maillog", new.pop()), "rb") as f:
                content = f.read()
            return content if done(content) else None
        content = wait_until(ready)
        if content is None:
            raise AssertionError("no finished transcript; new files: %r" % (
                self.transcript_names() - before))
        return content


def transcript_lines(content):
    """A transcript's entries; asserts every entry ends in exactly CR LF."""
    assert content.endswith(b"\r\n"), content[-40:]
    return [e.decode("latin-1") for e in content[:-2].split(b"\r\n")]


class _LongLineSMTP(AioSMTP):
    line_length_limit = 1 << 20  # mail data may carry long lines


class AioBackend(Controller):
    """A real SMTP server (aiosmtpd) on loopback that records every mail as
    (sender, recipients, content, options)."""

    def __init__(self):
        self.lock, self.envelopes = threading.Lock(), []
        self.port = free_port(BACKEND_HOST)
        super().__init__(self, hostname=BACKEND_HOST, port=self.port,
                         server_hostname="backend.test", data_size_limit=64 << 20)
        self.start()

    def factory(self):
        return _LongLineSMTP(self.handler, **self.SMTP_kwargs)

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


class ScriptedBackend(socketserver.ThreadingTCPServer):
    """A minimal SMTP responder whose replies a test chooses, sent in the
    pieces the test gives (so replies can be split over TCP segments).
    replies: command word (upper case) -> byte pieces; data_reply: pieces
    after the mail data. behaviours: one per connection in order (NORMAL
    after them); the failing ones give up after FAIL_AFTER data bytes."""

    PIECE_GAP = 0.2  # seconds between the pieces of one split reply
    CLOSE = b"<close>"  # a piece that makes the backend drop the connection
    NORMAL, CLOSE_IN_DATA, RESET_IN_DATA, SLOW = "normal", "close", "reset", "slow"
    FAIL_AFTER = 20_000
    SLOW_DELAY = 1.0  # seconds before each answer of a slow connection
    daemon_threads = allow_reuse_address = True
    request_queue_size = 16

    def __init__(self, port=None, behaviours=()):
        self.greeting = [b"220 scripted.test ESMTP\r\n"]
        self.replies = {
            "EHLO": [b"250-scripted.test\r\n250 8BITMIME\r\n"], "HELO": [b"250 scripted.test\r\n"],
            "MAIL": [b"250 2.1.0 sender ok\r\n"], "RCPT": [b"250 2.1.5 recipient ok\r\n"],
            "DATA": [b"354 go ahead\r\n"], "RSET": [b"250 2.0.0 reset\r\n"],
            "NOOP": [b"250 2.0.0 noop\r\n"], "QUIT": [b"221 2.0.0 bye\r\n"]}
        self.data_reply = [b"250 2.0.0 queued\r\n"]
        self.behaviours = list(behaviours)
        self.lock = threading.Lock()
        self.commands = []   # every command line received, without CR LF
        self.messages = []   # mail data received, up to and including the end mark
        super().__init__((BACKEND_HOST, port or 0), None)
        self.port = self.server_address[1]
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()

    def finish_request(self, conn, _address):
        with self.lock:
            behaviour = self.behaviours.pop(0) if self.behaviours else self.NORMAL
        self._serve(conn, behaviour)

    def _send(self, conn, pieces, behaviour):
        if behaviour == self.SLOW:
            time.sleep(self.SLOW_DELAY)
        for i, piece in enumerate(pieces):
            if i:
                time.sleep(self.PIECE_GAP)
            if piece is self.CLOSE:
                conn.shutdown(socket.SHUT_RDWR)
                raise ConnectionAbortedError("closed by the script")
            conn.sendall(piece)

    def _data(self, conn, buffer, behaviour):
        """(mail data with its end mark, the rest); None when this fails."""
        while True:
            mark = (b"\r\n" + buffer).find(b"\r\n.\r\n")
            if mark >= 0:
                return buffer[:mark + 3], buffer[mark + 3:]
            if behaviour in (self.CLOSE_IN_DATA, self.RESET_IN_DATA) and \
                    len(buffer) >= self.FAIL_AFTER:
                if behaviour == self.RESET_IN_DATA:  # RST instead of FIN
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                return None
            chunk = conn.recv(65536)
            if not chunk:
                return None
            buffer += chunk

    def _serve(self, conn, behaviour):
        conn.settimeout(IO_TIMEOUT)
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        buffer = b""
        try:
            self._send(conn, self.greeting, behaviour)
            while True:
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
                self._send(conn, reply, behaviour)
                if word == "QUIT":
                    return
                if word == "DATA" and reply and reply[0].startswith(b"354"):
                    data = self._data(conn, buffer, behaviour)
                    if data is None:
                        return
                    with self.lock:
                        self.messages.append(data[0])
                    buffer = data[1]
                    self._send(conn, self.data_reply, behaviour)
        except OSError:
            return
        finally:
            conn.close()  # before the server's own shutdown, which would send a FIN

    def received(self):
        with self.lock:
            return list(self.commands), list(self.messages)

    def stop(self):
        self.shutdown()
        self.server_close()


PG_SERVER_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support",
                                "pg_server.sh")


class PgServer:
    """A private PostgreSQL server (tests/support/pg_server.sh) on a socket in
    a scratch folder, or a streaming standby of another one; SkipTest when
    the server programs are missing."""

    def __init__(self, standby_of=None):
        self.folder = tempfile.mkdtemp(prefix="brenvik-pg-")
        done = self._run("standby", standby_of.folder) if standby_of else self._run("init")
        if done.returncode == 77:
            shutil.rmtree(self.folder, True)
            raise unittest.SkipTest("PostgreSQL server programs not installed (package postgresql)")
        if done.returncode != 0:
            self.remove()
            raise RuntimeError("PostgreSQL test server did not start: " + done.stderr)

    def _run(self, *args):
        return subprocess.run(["sh", PG_SERVER_SCRIPT, args[0], self.folder] + list(args[1:]),
                              capture_output=True, text=True, timeout=120)

    def createdb(self, name):
        done = self._run("createdb", name)
        if done.returncode != 0:
            raise RuntimeError("createdb failed: " + done.stderr)
        return done.stdout.strip()

    def stop(self):
        self._run("stop").check_returncode()

    def start(self):
        self._run("start").check_returncode()

    def remove(self):
        self._run("remove")

    def promote(self):
        self._run("promote").check_returncode()

    def crash(self):
        self._run("crash").check_returncode()

    def pids(self):
        return [int(p) for p in self._run("pids").stdout.split()]


def psql(conninfo, sql):
    """Rows of one statement as lists of texts (NULL as "")."""
    done = subprocess.run(["psql", "-X", "-q", "-A", "-t", "-F", "\t", "-v", "ON_ERROR_STOP=1",
                           "-d", conninfo, "-c", sql], capture_output=True, timeout=60)
    if done.returncode != 0:
        raise RuntimeError("psql failed: %s" % done.stderr.decode("latin-1"))
    text = done.stdout.decode("latin-1")
    return [line.split("\t") for line in text.splitlines() if line]


def start_pair(backend_class, **gateway_options):
    """A backend and a gateway in front of it, for a test module."""
    require_binary()
    backend = backend_class()
    try:
        return backend, Gateway(backend.port, **gateway_options)
    except Exception:
        backend.stop()
        raise


def stop_pair(backend, gateway):
    try:
        if gateway:
            gateway.finish()
    finally:
        if backend:
            backend.stop()


class RawClient:
    """A client for what smtplib will not send."""

    def __init__(self, port, source=CLIENT_HOST, timeout=IO_TIMEOUT):
        self.sock = socket.create_connection((RECV_HOST, port), timeout=timeout,
                                             source_address=(source, 0))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    @classmethod
    def session(cls, port, source=CLIENT_HOST, helo=b"HELO client.test"):
        """A client past the greeting and, unless helo is None, HELO."""
        c = cls(port, source)
        c.expect(None, b"220 ")
        if helo:
            c.expect(helo, b"250 ")
        return c

    def send(self, data):
        self.sock.sendall(data)

    def command(self, line):
        self.send(line + b"\r\n")
        return self.read_reply()

    def expect(self, line, start):
        """Sends line (None: nothing) and returns the reply, which must end
        in a line beginning with start."""
        reply = self.command(line) if line is not None else self.read_reply()
        if not reply or not reply[-1].startswith(start):
            raise AssertionError("%r: expected %r, got %r" % (line, start, reply))
        return reply

    def read_line(self):
        """One line without CR LF (at the end, what is left without one);
        None when the gateway closed and nothing is left."""
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                line, self.buffer = self.buffer, b""
                return line or None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.removesuffix(b"\r")

    def read_reply(self):
        """The lines of one reply up to its final line; [] when closed first."""
        lines = []
        while (line := self.read_line()) is not None:
            lines.append(line)
            if line[3:4] != b"-":
                break
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

