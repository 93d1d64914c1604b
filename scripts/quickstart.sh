#!/usr/bin/env bash
# Runs the gateway in the foreground on this machine, relaying to a real SMTP
# server (aiosmtpd) that stores the mails it receives in a folder:
#
#   scripts/quickstart.sh [run folder]        (default: run/quickstart)
#
# The run folder holds the registry file (BRENVIK_SYSROOT), spam.mdb,
# maillog/ and the delivered mails (mail/new/). Ctrl-C stops both servers.
# Ports: RECV_PORT (default 2525, on 127.0.0.2) and BACKEND_PORT (default
# 2526, on 127.0.0.1); BUILD_DIR (default build/default) is the build used.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
python=/usr/bin/python3   # Debian's, which has python3-aiosmtpd

run_dir=$(realpath -m "${1:-run/quickstart}")
recv_host=127.0.0.2
recv_port=${RECV_PORT:-2525}
backend_host=127.0.0.1
backend_port=${BACKEND_PORT:-2526}
accepted_domain=@example.com

build_dir=$(realpath -m "${BUILD_DIR:-build/default}")
binary=$build_dir/service/brenvik
if [ -f "$build_dir/CMakeCache.txt" ]; then
  cmake --build "$build_dir" -j2 --target brenvik >/dev/null
else
  echo "quickstart: first build (this takes a few minutes)"
  scripts/build.sh default
  binary=$repo/build/default/service/brenvik
fi
[ -x "$binary" ] || { echo "quickstart: $binary was not built" >&2; exit 1; }

work=$run_dir/work
mkdir -p "$run_dir/etc/brenvik" "$work" "$run_dir/mail/cur" "$run_dir/mail/new" "$run_dir/mail/tmp"
export BRENVIK_SYSROOT=$run_dir
unset NOTIFY_SOCKET

# Registry values the gateway reads at start (the configuration tool writes
# the same ones). Logging and LogDB switch the transcripts and LogTable on.
cat >"$run_dir/etc/brenvik/registry.reg" <<EOF
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Vikmar]
"RecvPort"="$recv_port"
"RecvHost"="$recv_host"
"SendPort"="$backend_port"
"SendHost"="$backend_host"
"Logging"="1"
"WorkDir"="$work"
"GarbageCollector"="0"
"CheckBadMailAdr"="0"
"StatusMail"=""
"LogDB"="1"
EOF

port_free() {  # host port
  "$python" - "$1" "$2" <<'EOF'
import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
try:
    s.bind((sys.argv[1], int(sys.argv[2])))
except OSError:
    sys.exit(1)
EOF
}

wait_listening() {  # host port pid: true once something listens there
  "$python" - "$1" "$2" "$3" <<'EOF'
import os, sys, time
host, port, pid = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
wanted = "%s:%04X" % ("".join("%02X" % int(b) for b in reversed(host.split("."))), port)
for _ in range(200):
    with open("/proc/net/tcp") as f:
        if any(l.split()[1] == wanted and l.split()[3] == "0A" for l in list(f)[1:]):
            sys.exit(0)
    if not os.path.exists("/proc/%d" % pid):
        sys.exit(1)
    time.sleep(0.05)
sys.exit(1)
EOF
}

for hp in "$recv_host $recv_port" "$backend_host $backend_port"; do
  port_free $hp || { echo "quickstart: port ${hp/ /:} is in use" >&2; exit 1; }
done

# First run: let the gateway create spam.mdb, then accept mail for one domain.
if [ ! -f "$work/spam.mdb" ]; then
  "$binary" >/dev/null 2>&1 &
  first=$!
  wait_listening "$recv_host" "$recv_port" "$first" || true
  kill -TERM "$first" 2>/dev/null || true
  wait "$first" 2>/dev/null || true
  "$python" - "$work/spam.mdb" "$accepted_domain" <<'EOF'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
with db:
    db.execute("INSERT INTO SpamSystem (what, Typ) VALUES (?, 1)", (sys.argv[2],))
db.close()
EOF
fi

"$python" -m aiosmtpd -n -l "$backend_host:$backend_port" \
  -c aiosmtpd.handlers.Mailbox "$run_dir/mail" &
backend=$!
trap 'kill "$backend" 2>/dev/null || true; wait "$backend" 2>/dev/null || true' EXIT
wait_listening "$backend_host" "$backend_port" "$backend" ||
  { echo "quickstart: the SMTP server did not start" >&2; exit 1; }

cat <<EOF
Brenvik listens on $recv_host:$recv_port and relays to aiosmtpd on $backend_host:$backend_port.
  run folder: $run_dir   (registry: etc/brenvik/registry.reg, database and transcripts: work/)
  delivered mail: $run_dir/mail/new/
  accepted domain: $accepted_domain (table SpamSystem)

Send a test mail from another terminal with swaks. A new sender is deferred once
(451 Try later...):

  swaks --server $recv_host:$recv_port --from alice@sender.example --to bob${accepted_domain}

and its next attempt is delivered. A bounce (the null sender) is greylisted by the
client's address and likewise delivered on its second attempt:

  swaks --server $recv_host:$recv_port --from alice@sender.example --to bob${accepted_domain}
  swaks --server $recv_host:$recv_port --from '' --to bob${accepted_domain}

A recipient outside the accepted domain ends the session with 550 Relaying is prohibited:

  swaks --server $recv_host:$recv_port --from alice@sender.example --to 'v%elsewhere.example${accepted_domain}'

Ctrl-C stops the gateway and the SMTP server.
EOF

# In the foreground: Ctrl-C (SIGINT) runs the gateway's stop sequence.
"$binary" || true
