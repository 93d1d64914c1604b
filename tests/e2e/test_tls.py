"""STARTTLS at the gateway: a certificate made here, the real brenvik behind
aiosmtpd, and real TLS clients (swaks, openssl s_client, Python's ssl)."""
import json
import os
import shutil
import ssl
import subprocess
import tempfile
import unittest

import brenvik_e2e as e2e

TOOL_TIMEOUT = 120      # seconds for one client program
SCAN_TIMEOUT = 600      # seconds for testssl.sh
NOT_LOADED = e2e.EVENT_ERROR + "FEHLER: TLS aus / TLS off, certificate not loaded: "
READY = b"220 2.0.0 Ready to start TLS"

backend = gateway = None
folder = None


def make_certificate(name):
    """(chain, key) paths of a fresh self-signed certificate."""
    cert, key = os.path.join(folder, name + ".pem"), os.path.join(folder, name + ".key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=mx.test",
                    "-days", "2", "-keyout", key, "-out", cert],
                   check=True, capture_output=True, timeout=TOOL_TIMEOUT)
    return cert, key


def setUpModule():
    global backend, gateway, folder
    e2e.require_binary()
    folder = tempfile.mkdtemp(prefix="brenvik-tls-")
    cert, key = make_certificate("mx")
    backend, gateway = e2e.start_pair(e2e.AioBackend, settings={"TlsCertificate": cert, "TlsKey": key})


def tearDownModule():
    e2e.stop_pair(backend, gateway)
    shutil.rmtree(folder, ignore_errors=True)


def client_context():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def mail_text(subject):
    return ("Subject: %s\r\n\r\nline one\r\n.leading dot\r\n\r\nlast\r\n" % subject).encode()


def transcript_with(before, text):
    return e2e.transcript_lines(gateway.new_transcript(
        before, ends_with=lambda t: t.endswith(b"\r\n") and text.encode() in t))


class TlsClientsTest(unittest.TestCase):
    def test_swaks_delivers_over_tls_byte_for_byte(self):
        body = os.path.join(folder, "swaks.eml")
        with open(body, "wb") as f:
            f.write(mail_text("swaks")[:-2])  # swaks ends the data with its own CR LF
        before = gateway.transcript_names()
        run = subprocess.run(
            ["swaks", "--tls", "--server", "%s:%d" % (e2e.RECV_HOST, gateway.port),
             "--local-interface", e2e.CLIENT_HOST, "--from", "swaks@trusted.example",
             "--to", "user@example.com", "--data", body, "--timeout", "60"],
            capture_output=True, timeout=TOOL_TIMEOUT)
        self.assertEqual(run.returncode, 0, run.stdout.decode("latin-1")[-3000:])
        self.assertEqual([m[2] for m in backend.find("swaks@trusted.example")], [mail_text("swaks")])
        lines = transcript_with(before, "QUIT")
        tls = [l for l in lines if l.startswith("TLS ")]
        self.assertEqual(len(tls), 1, lines)
        self.assertRegex(tls[0], r"^TLS TLSv1\.[23] \S+$")
        self.assertEqual(lines[lines.index(tls[0]) - 1:lines.index(tls[0])], [READY.decode()])

    def test_openssl_s_client_delivers_and_old_protocols_are_refused(self):
        script = (b"MAIL FROM:<sclient@trusted.example>\nRCPT TO:<user@example.com>\nDATA\n" +
                  mail_text("s_client").replace(b"\r\n", b"\n").replace(b"\n.", b"\n..") +
                  b".\nQUIT\n")
        for flags, delivered in ((["-tls1_3"], True), (["-tls1_2"], True),
                                 (["-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"], False),
                                 (["-tls1", "-cipher", "DEFAULT@SECLEVEL=0"], False)):
            with self.subTest(flags=flags):
                before_count = len(backend.find("sclient@trusted.example"))
                run = subprocess.run(
                    ["openssl", "s_client", "-starttls", "smtp", "-crlf", "-quiet",
                     "-connect", "%s:%d" % (e2e.RECV_HOST, gateway.port)] + flags,
                    input=script, capture_output=True, timeout=TOOL_TIMEOUT)
                found = backend.find("sclient@trusted.example")[before_count:]
                self.assertEqual([m[2] for m in found], [mail_text("s_client")] if delivered else [],
                                 run.stderr.decode("latin-1")[-2000:])


class StartTlsSessionTest(unittest.TestCase):
    def test_pipelined_clear_text_after_starttls_is_discarded(self):
        before = gateway.transcript_names()
        c = e2e.RawClient.session(gateway.port, helo=None)
        self.addCleanup(c.close)
        ehlo = c.command(b"EHLO client.test")
        self.assertEqual(ehlo[-2:], [b"250-HELP", b"250 STARTTLS"])
        self.assertEqual(c.command(b"STARTTLS now"), [b"501 5.5.4 STARTTLS takes no parameters"])
        c.send(b"STARTTLS\r\nRSET\r\n")
        self.assertEqual(c.read_reply(), [READY])
        self.assertEqual(c.buffer, b"")
        c.sock = client_context().wrap_socket(c.sock)
        # The first answer over TLS is the one to this EHLO, not one to RSET.
        ehlo = c.command(b"EHLO client.test")
        self.assertTrue(ehlo[0].startswith(b"250-"), ehlo)
        self.assertNotIn(b"250 STARTTLS", ehlo)
        self.assertFalse(any(b"STARTTLS" in line for line in ehlo), ehlo)
        self.assertEqual(c.command(b"STARTTLS"), [b"503 5.5.1 TLS already active"])
        c.expect(b"QUIT", b"221 ")
        lines = transcript_with(before, "QUIT")
        self.assertNotIn("RSET", lines)
        start = lines.index("STARTTLS")
        self.assertEqual(lines[start + 1:start + 3], [READY.decode(), lines[start + 2]])
        self.assertTrue(lines[start + 2].startswith("TLS "), lines)

    def test_failed_handshake_ends_the_session_with_its_reason(self):
        before = gateway.transcript_names()
        c = e2e.RawClient.session(gateway.port, helo=b"EHLO client.test")
        self.addCleanup(c.close)
        self.assertEqual(c.command(b"STARTTLS"), [READY])
        c.send(b"EHLO this is not a ClientHello\r\n")
        self.assertTrue(c.closed_by_peer())
        lines = transcript_with(before, "ABBRUCH ")
        self.assertTrue(lines[-1].startswith("ABBRUCH TLS handshake failed: "), lines)


class CertificateSettingsTest(unittest.TestCase):
    def test_unloadable_certificate_is_reported_and_starttls_stays_refused(self):
        cert, key = make_certificate("unloadable")
        _, other_key = make_certificate("other")
        unreadable = os.path.join(folder, "unreadable.key")
        shutil.copyfile(key, unreadable)
        os.chmod(unreadable, 0)
        missing = os.path.join(folder, "missing.pem")
        cases = ((missing, key, missing), (cert, other_key, other_key), (cert, "", "TlsKey"),
                 (cert, os.path.join(folder, "unloadable.pem"), "unloadable.pem"))
        if os.geteuid() != 0:  # root reads any file
            cases += ((cert, unreadable, unreadable),)
        for cert_path, key_path, named in cases:
            with self.subTest(cert=cert_path, key=key_path):
                g = e2e.Gateway(backend.port, settings={"TlsCertificate": cert_path, "TlsKey": key_path})
                try:
                    self.assertTrue(g.wait_for_output(NOT_LOADED), g.stderr_text())
                    event = [l for l in g.stderr_text().splitlines() if NOT_LOADED in l][0]
                    self.assertIn(named, event)
                    c = e2e.RawClient.session(g.port, helo=None)
                    ehlo = c.command(b"EHLO client.test")
                    self.assertFalse(any(b"STARTTLS" in line for line in ehlo), ehlo)
                    self.assertEqual(c.command(b"STARTTLS"), [b"502 5.5.1 Command not implemented"])
                    c.expect(b"QUIT", b"221 ")
                    c.close()
                finally:
                    g.finish()


@unittest.skipUnless(shutil.which("testssl"), "testssl.sh not installed")
class ScanTest(unittest.TestCase):
    def test_testssl_finds_nothing_high_and_no_protocol_below_tls_1_2(self):
        report = os.path.join(folder, "testssl.json")
        run = subprocess.run(
            ["testssl", "--starttls", "smtp", "--quiet", "--color", "0", "--warnings", "batch",
             "--ip", "one", "-p", "-S", "-P", "-U", "--jsonfile", report,
             "%s:%d" % (e2e.RECV_HOST, gateway.port)],
            capture_output=True, timeout=SCAN_TIMEOUT)
        self.assertTrue(os.path.exists(report), run.stdout.decode("latin-1")[-3000:])
        with open(report) as f:
            findings = json.load(f)
        # The test's own self-signed certificate is untrusted by design.
        bad = [x for x in findings if x.get("severity") in ("HIGH", "CRITICAL") and
               not x["id"].startswith("cert_")]
        self.assertEqual(bad, [], [x["id"] for x in findings if x.get("severity") in ("HIGH", "CRITICAL")])
        offered = {x["id"]: x["finding"] for x in findings if x["id"] in ("SSLv2", "SSLv3", "TLS1", "TLS1_1")}
        self.assertEqual(len(offered), 4, offered)
        for protocol, finding in offered.items():
            self.assertIn("not offered", finding, protocol)


if __name__ == "__main__":
    unittest.main()
