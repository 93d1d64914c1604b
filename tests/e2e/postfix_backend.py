"""A real Postfix of its own as the trusting backend: config, queue, data,
log and Maildir all in one scratch folder, listening on 127.0.0.1 only. It
trusts 127.0.0.0/8 (so the gateway may relay through it), delivers
accepted.example into a Maildir and keeps every other domain in the queue,
so any foreign recipient it accepted shows in the queue and the log. The
system's own Postfix in /etc/postfix is neither used nor touched."""
import atexit
import glob
import json
import os
import pwd
import re
import shutil
import subprocess
import tempfile
import unittest

import brenvik_e2e as e2e

POSTFIX = "/usr/sbin/postfix"
DOMAIN = "accepted.example"
# An accepted international domain, as U-label and as A-label.
IDN_DOMAIN = "b\u00e4cker.example"
IDN_DOMAIN_ACE = "xn--bcker-gra.example"
# Its own name too, so that <Postmaster> (postmaster@ its name) is delivered.
ACCEPTED = {DOMAIN, IDN_DOMAIN, IDN_DOMAIN_ACE, "backend.test"}
# Cyrus SASL with an empty user database: AUTH is offered, nobody logs in.
SASL_CONF = """\
pwcheck_method: auxprop
auxprop_plugin: sasldb
sasldb_path: {root}/sasl/sasldb2
mech_list: PLAIN LOGIN
"""
HOSTNAME = "backend.test"
START_TIMEOUT = 30.0
DELIVERY_TIMEOUT = 15.0

# What every instance of the tests has: its own folders, loopback only.
COMMON_CF = """\
compatibility_level = 3.6
queue_directory = {root}/queue
data_directory = {root}/data
maillog_file = {root}/postfix.log
maillog_file_prefixes = {root}
myhostname = {hostname}
mydomain = {hostname}
myorigin = {hostname}
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
# No DNS, no local delivery.
disable_dns_lookups = yes
smtp_dns_support_level = disabled
smtp_host_lookup = native
smtpd_peername_lookup = no
alias_maps =
alias_database =
local_recipient_maps =
biff = no
"""

MAIN_CF = COMMON_CF + """\
smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
# International addresses as a server of today takes them, and AUTH offered:
# a gateway must pass on neither a look-alike domain nor an AUTH exchange.
smtputf8_enable = yes
smtpd_sasl_auth_enable = yes
smtpd_sasl_type = cyrus
cyrus_sasl_config_path = {root}/sasl
virtual_mailbox_domains = {domain}, {idn_domains}
virtual_mailbox_base = {root}
virtual_mailbox_maps = static:Maildir/
virtual_uid_maps = static:{uid}
virtual_gid_maps = static:{gid}
# Foreign mail is accepted and stays queued, visible in queue and log; were
# it ever tried, it would go to the discard port of loopback only.
default_transport = smtp:[127.0.0.1]:9
relay_transport = smtp:[127.0.0.1]:9
defer_transports = smtp
relayhost =
# Nothing of its own to anyone.
notify_classes =
# As trusting as an old server: bare LF ends lines, pipelining unchecked.
smtpd_forbid_bare_newline = no
smtpd_forbid_unauth_pipelining = no
# It even lets the gateway's network rewrite client data: a gateway must not
# pass these commands on.
smtpd_authorized_xclient_hosts = $mynetworks
smtpd_authorized_xforward_hosts = $mynetworks
smtpd_tls_security_level = may
smtpd_tls_cert_file = {root}/tls/cert.pem
smtpd_tls_key_file = {root}/tls/key.pem
default_process_limit = 250
smtpd_client_connection_count_limit = 0
smtpd_client_connection_rate_limit = 0
message_size_limit = 67108864
virtual_mailbox_limit = 0
"""

MASTER_CF = """\
{listen} inet n - n - 200 smtpd
pickup    unix  n - n 60 1 pickup
cleanup   unix  n - n - 0 cleanup
qmgr      unix  n - n 300 1 qmgr
tlsmgr    unix  - - n 1000? 1 tlsmgr
rewrite   unix  - - n - - trivial-rewrite
bounce    unix  - - n - 0 bounce
defer     unix  - - n - 0 bounce
trace     unix  - - n - 0 bounce
verify    unix  - - n - 1 verify
flush     unix  n - n 1000? 0 flush
proxymap  unix  - - n - - proxymap
proxywrite unix - - n - 1 proxymap
smtp      unix  - - n - - smtp
relay     unix  - - n - - smtp
showq     unix  n - n - - showq
error     unix  - - n - - error
retry     unix  - - n - - error
discard   unix  - - n - - discard
virtual   unix  - n n - - virtual
anvil     unix  - - n - 1 anvil
scache    unix  - - n - 1 scache
postlog   unix-dgram n - n - 1 postlogd
"""

# A sending Postfix: everything goes to the gateway, encrypted or not at
# all, retried soon after a deferral.
SENDER_MAIN_CF = COMMON_CF + """\
smtputf8_enable = no
smtpd_relay_restrictions = permit_mynetworks, reject
relayhost = {relayhost}
smtp_tls_security_level = encrypt
smtp_tls_loglevel = 1
notify_classes =
queue_run_delay = 1s
minimal_backoff_time = 1s
maximal_backoff_time = 2s
"""

RECIPIENT_IN_LOG = re.compile(r"\b(?:orig_)?to=<([^>]*)>")


def require_postfix():
    if not os.access(POSTFIX, os.X_OK):
        raise unittest.SkipTest("no postfix binary (apt-get install postfix)")
    if not shutil.which("openssl"):
        raise unittest.SkipTest("no openssl for the test certificate")
    if os.geteuid() != 0:
        raise unittest.SkipTest("a private Postfix instance needs root")


def is_foreign(address):
    """Outside the accepted domains; an address without a domain (orig_to of
    <Postmaster>) is Postfix's own."""
    return "@" in address and address.rpartition("@")[2].lower() not in ACCEPTED


def stop_abandoned():
    """Stops the instances of test processes that were killed (a time-out):
    their master runs on by itself."""
    for root in glob.glob(os.path.join(tempfile.gettempdir(), "brenvik-postfix-*")):
        try:
            with open(os.path.join(root, "owner")) as f:
                owner = int(f.read())
        except (OSError, ValueError):
            continue  # still being made
        if not os.path.exists("/proc/%d" % owner):
            subprocess.run([POSTFIX, "-c", os.path.join(root, "config"), "stop"],
                           capture_output=True, timeout=60)
            shutil.rmtree(root, ignore_errors=True)


class PostfixBackend:
    MAIN_CF = MAIN_CF
    HOSTNAME = HOSTNAME

    def __init__(self):
        require_postfix()
        stop_abandoned()
        self.root = tempfile.mkdtemp(prefix="brenvik-postfix-")
        with open(os.path.join(self.root, "owner"), "w") as f:
            f.write(str(os.getpid()))
        self.config = os.path.join(self.root, "config")
        self.maildir = os.path.join(self.root, "Maildir")
        self.log_path = os.path.join(self.root, "postfix.log")
        self.port = e2e.free_port(e2e.BACKEND_HOST)
        self.running = False

    def _postfix(self, *args, check=True):
        return subprocess.run([POSTFIX, "-c", self.config] + list(args), check=check,
                              capture_output=True, timeout=60, text=True)

    def _tool(self, name, *args):
        return subprocess.run(["/usr/sbin/" + name, "-c", self.config] + list(args), check=True,
                              capture_output=True, timeout=60, text=True).stdout

    def start(self):
        try:
            self._write_files()
            result = self._postfix("start", check=False)
            if result.returncode != 0:
                raise RuntimeError("postfix start failed:\n%s%s\n%s" % (
                    result.stdout, result.stderr, self.log_text()[-3000:]))
            self.running = True
            atexit.register(self.stop)  # even when the test process is cut short
            if not e2e.wait_until(lambda: e2e.is_listening(e2e.BACKEND_HOST, self.port),
                                  START_TIMEOUT):
                raise RuntimeError("postfix is not listening; log:\n" + self.log_text()[-3000:])
        except Exception:
            self.stop()
            raise
        return self

    def _write_files(self):
        # The delivery agent and the daemons run as other users: the
        # folders on the way must be traversable for them.
        os.chmod(self.root, 0o755)
        nobody = pwd.getpwnam("nobody")
        os.makedirs(self.config)
        os.makedirs(os.path.join(self.root, "queue"))  # its subfolders: postfix start
        os.makedirs(os.path.join(self.root, "tls"))
        os.makedirs(os.path.join(self.root, "sasl"))
        with open(os.path.join(self.root, "sasl", "smtpd.conf"), "w") as f:
            f.write(SASL_CONF.format(root=self.root))
        for sub in ("new", "cur", "tmp"):
            os.makedirs(os.path.join(self.maildir, sub))
        for folder, _, _ in os.walk(self.maildir):
            os.chown(folder, nobody.pw_uid, nobody.pw_gid)
        with open(os.path.join(self.config, "main.cf"), "w", encoding="utf-8") as f:
            f.write(self.MAIN_CF.format(root=self.root, hostname=self.HOSTNAME, domain=DOMAIN,
                                        idn_domains=", ".join((IDN_DOMAIN, IDN_DOMAIN_ACE, self.HOSTNAME)),
                                        uid=nobody.pw_uid, gid=nobody.pw_gid,
                                        relayhost=getattr(self, "relayhost", "")))
        with open(os.path.join(self.config, "master.cf"), "w") as f:
            f.write(MASTER_CF.format(listen="%s:%d" % (e2e.BACKEND_HOST, self.port)))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=" + HOSTNAME, "-keyout", os.path.join(self.root, "tls", "key.pem"),
                        "-out", os.path.join(self.root, "tls", "cert.pem")],
                       check=True, capture_output=True, timeout=60)

    def stop(self):
        """Stops the instance (if it runs) and removes its folder."""
        if self.running:
            self._postfix("stop", check=False)
            self.running = False
            atexit.unregister(self.stop)
        shutil.rmtree(self.root, ignore_errors=True)

    def log_text(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("latin-1")
        except FileNotFoundError:
            return ""

    def delivered(self):
        """The messages in the Maildir as bytes, oldest first."""
        folder = os.path.join(self.maildir, "new")
        names = sorted(os.listdir(folder), key=lambda n: os.stat(os.path.join(folder, n)).st_mtime_ns)
        messages = []
        for name in names:
            with open(os.path.join(folder, name), "rb") as f:
                messages.append(f.read())
        return messages

    def wait_for_delivered(self, count, timeout=DELIVERY_TIMEOUT):
        """The Maildir's messages once there are at least count of them."""
        e2e.wait_until(lambda: len(self.delivered()) >= count, timeout)
        return self.delivered()

    def queue(self):
        """The queue as postqueue -j reports it: one dict per message."""
        return [json.loads(line) for line in self._tool("postqueue", "-j").splitlines() if line]

    def queued_recipients(self):
        return [r["address"] for m in self.queue() for r in m.get("recipients", [])]

    def wait_until_idle(self, timeout=DELIVERY_TIMEOUT):
        """True once nothing waits in the incoming and active queues, so
        every accepted message is delivered or deferred."""
        def idle():
            return not [m for m in self.queue() if m.get("queue_name") in ("incoming", "active")]
        return e2e.wait_until(idle, timeout, step=0.2)

    def mark(self):
        """Where queue and log stand now, for foreign_recipients(since=...)."""
        return len(self.log_text()), {m["queue_id"] for m in self.queue()}

    def foreign_recipients(self, since=(0, frozenset())):
        """Every recipient outside the accepted domain that Postfix accepted
        (since a mark): from the queue and from the log's to=<...> entries."""
        offset, known = since
        found = {r["address"] for m in self.queue() if m["queue_id"] not in known
                 for r in m.get("recipients", []) if is_foreign(r["address"])}
        for line in self.log_text()[offset:].splitlines():
            if " reject: " not in line:  # a refused recipient was not accepted
                addresses = (a.encode("latin-1").decode("utf-8", "replace") for a in RECIPIENT_IN_LOG.findall(line))
                found |= {a for a in addresses if is_foreign(a)}
        return sorted(found)

def message_body(message):
    """The part of a stored message after its first empty line."""
    head, separator, body = message.partition(b"\n\n")
    assert separator, message[:400]
    return body


class PostfixSender(PostfixBackend):
    """A Postfix that sends everything it takes to relayhost ("[host]:port")
    with smtp_tls_security_level = encrypt; mail goes in over SMTP on port."""
    MAIN_CF = SENDER_MAIN_CF
    HOSTNAME = "sender.test"

    def __init__(self, relayhost):
        super().__init__()
        self.relayhost = relayhost

    def sent_log_lines(self):
        """The log's delivery lines: (status, the rest), in order."""
        return re.findall(r" status=(\w+) (.*)", self.log_text())
