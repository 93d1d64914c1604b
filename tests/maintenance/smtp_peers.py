#!/usr/bin/python3
"""SMTP peers on 127.0.0.1 for the status-mail tests, one process each.

Arguments: a folder, the greeting pieces, "--", the replies ("|" stands for
CR LF). Greeting "aiosmtpd": Debian's real server; a message lands in
<folder>/mail as sender LF, recipients joined by "," LF, the data. Else a
scripted peer for one connection: between greeting pieces it makes sure the
client waits for the final line; after 354 only the "." line counts; an
empty reply falls silent, HANGUP closes. It writes each line it read to
<folder>/lines, then "<closed>" once the client hung up. Prints "pid port"
once it listens; every wait is bounded."""
import os
import select
import socket
import sys
import threading

deadline = threading.Timer(30, lambda: os._exit(3))
deadline.daemon = True
deadline.start()
folder, args = sys.argv[1], [arg.replace("|", "\r\n") for arg in sys.argv[2:]]


class Keep:
    async def handle_DATA(self, server, session, envelope):
        with open(folder + "/mail.part", "wb") as f:
            f.write(("%s\n%s\n" % (envelope.mail_from, ",".join(envelope.rcpt_tos))).encode())
            f.write(envelope.original_content)
        os.rename(folder + "/mail.part", folder + "/mail")
        return "250 OK"


def play(conn, read, greeting, replies, lines):
    def say(text):
        if text == "HANGUP":
            conn.shutdown(socket.SHUT_RDWR)
        return text != "HANGUP" and conn.sendall(text.encode()) is None

    for i, piece in enumerate(greeting):
        if i > 0 and select.select([conn], [], [], 0.2)[0]:
            return lines.append("<ran ahead>")
        if not say(piece):
            return
    data = False
    for reply in replies:
        line = read()
        while data and line not in (b"", b".\r\n"):
            line = read()
        if not line or not reply or not say(reply):
            return
        data = reply.startswith("354")


if args == ["aiosmtpd", "--"]:
    from aiosmtpd.controller import Controller
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    Controller(Keep(), hostname="127.0.0.1", port=port).start()
    print(os.getpid(), port, flush=True)
    threading.Event().wait(30)
    os._exit(0)
listener = socket.create_server(("127.0.0.1", 0))
print(os.getpid(), listener.getsockname()[1], flush=True)
listener.settimeout(5)
conn = listener.accept()[0]
conn.settimeout(5)
stream, lines, split = conn.makefile("rb"), [], args.index("--")


def read():
    line = stream.readline()
    if line:
        lines.append(line.rstrip(b"\r\n").decode("latin-1"))
    return line


try:
    play(conn, read, args[:split], args[split + 1:], lines)
    while read():  # whatever the client still sends
        pass
    lines.append("<closed>")
except ConnectionResetError:
    lines.append("<closed>")
except OSError:
    pass  # silence
with open(folder + "/lines", "w") as out:
    out.write("".join(line + "\n" for line in lines))
