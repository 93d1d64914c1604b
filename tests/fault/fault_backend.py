"""An SMTP backend that fails on purpose: per connection it closes or resets
the connection in the middle of the mail data, or answers every command
late. Mails it completes are recorded like a real server's.
"""
import socket
import struct
import threading
import time

import brenvik_e2e as e2e

NORMAL, CLOSE_IN_DATA, RESET_IN_DATA, SLOW = "normal", "close", "reset", "slow"
FAIL_AFTER = 20_000   # bytes of mail data before a failing backend gives up
SLOW_DELAY = 1.0      # s before each answer of a slow backend


class FaultBackend:
    def __init__(self, behaviours=(), port=None):
        """behaviours: one per connection in order; NORMAL after them."""
        self.behaviours = list(behaviours)
        self.lock = threading.Lock()
        self.messages = []      # completed mail data, end mark removed
        self.connections = 0
        self.port = port or e2e.free_port(e2e.BACKEND_HOST)
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((e2e.BACKEND_HOST, self.port))
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
                behaviour = self.behaviours.pop(0) if self.behaviours else NORMAL
                self.connections += 1
            threading.Thread(target=self._serve, args=(conn, behaviour), daemon=True).start()

    def _answer(self, conn, behaviour, text):
        if behaviour == SLOW:
            time.sleep(SLOW_DELAY)
        conn.sendall(text)

    def _serve(self, conn, behaviour):
        conn.settimeout(e2e.IO_TIMEOUT)
        buffer = b""
        try:
            self._answer(conn, behaviour, b"220 fault.test ESMTP\r\n")
            while not self.stopping.is_set():
                while b"\n" not in buffer:
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    buffer += chunk
                line, buffer = buffer.split(b"\n", 1)
                word = line[:4].upper()
                if word == b"QUIT":
                    self._answer(conn, behaviour, b"221 bye\r\n")
                    return
                if word != b"DATA":
                    self._answer(conn, behaviour, b"250 ok\r\n")
                    continue
                self._answer(conn, behaviour, b"354 go ahead\r\n")
                data, buffer = self._data(conn, behaviour, buffer)
                if data is None:
                    return
                with self.lock:
                    self.messages.append(data)
                self._answer(conn, behaviour, b"250 queued\r\n")
        except OSError:
            return
        finally:
            conn.close()

    def _data(self, conn, behaviour, buffer):
        """The mail data up to the end mark; None when this backend fails."""
        while True:
            end = (b"\r\n" + buffer).find(b"\r\n.\r\n")
            if end >= 0:
                return buffer[:end], buffer[end + 3:]
            if behaviour in (CLOSE_IN_DATA, RESET_IN_DATA) and len(buffer) >= FAIL_AFTER:
                if behaviour == RESET_IN_DATA:  # RST instead of FIN
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                return None, b""
            chunk = conn.recv(65536)
            if not chunk:
                return None, b""
            buffer += chunk

    def received(self):
        with self.lock:
            return list(self.messages)

    def stop(self):
        self.stopping.set()
        self.listener.close()
        self.thread.join(5)
