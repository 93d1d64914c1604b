#!/usr/bin/env bash
# Installs the Debian packages Brenvik needs that are missing (as root).
set -euo pipefail

PACKAGES=(
  cmake g++ make pkg-config          # toolchain
  libsqlite3-dev sqlite3             # database engine and its shell
  libpq-dev                          # PostgreSQL client library (DatabaseServer)
  libidn2-dev                        # international domain names compared as A-labels
  postgresql                         # a real server for the PostgreSQL tests
  faketime                           # several gateways at one forged minute 0
  libsystemd-dev                     # sd_notify for the service host
  qt6-base-dev                       # configuration tool
  libgtest-dev                       # unit tests
  python3 python3-aiosmtpd           # end-to-end tests: real SMTP server, smtplib client
  postfix swaks openssl              # open relay tests: a real trusting backend, its TLS key
  libssl-dev                         # STARTTLS at the gateway (OpenSSL 3)
  libc-ares-dev                      # DNS blocklist queries with time-outs and TTLs
  testssl.sh                         # TLS end-to-end tests: a TLS scanner
  xvfb xauth fonts-wine xdotool      # the tool under a real X server, Tahoma metrics, real clicks and keys
  clang libclang-rt-14-dev           # fuzz targets: clang with libFuzzer and the sanitizers
  lintian man-db                     # the Debian package checked as Debian checks it, its manual pages
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages, run as root: apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
echo "setup: installing ${missing[*]}"
if ! apt-get install -y --no-install-recommends "${missing[@]}"; then
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
