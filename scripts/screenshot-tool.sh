#!/usr/bin/env bash
# Renders the configuration form under a virtual X server into a PNG file:
#   scripts/screenshot-tool.sh <out.png> [working folder]
# Without a working folder the form runs on a fresh empty database and, unless
# BRENVIK_SYSROOT is set, a fresh empty machine root, so nothing real is
# touched. BRENVIKCFG names the program (default build/default/configtool/brenvikcfg).
set -euo pipefail
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 <out.png> [working folder]" >&2
  exit 2
fi
repo=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "$1")
bin=$(realpath -m "${BRENVIKCFG:-$repo/build/default/configtool/brenvikcfg}")
[ -x "$bin" ] || { echo "screenshot: $bin not built" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
workdir=${2:-$tmp/work}
mkdir -p "$workdir"
export BRENVIK_SYSROOT=${BRENVIK_SYSROOT:-$tmp/root}
export XDG_RUNTIME_DIR=$tmp/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
rm -f "$out"

cd "$workdir"
# The tool saves its own window as the X server shows it, then ends.
BRENVIK_SCREENSHOT="$out" QT_QPA_PLATFORM=xcb timeout 60 \
  xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$bin"
[ -s "$out" ] || { echo "screenshot: no picture written" >&2; exit 1; }
echo "$out"
