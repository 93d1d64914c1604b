#!/usr/bin/env bash
# The real brenvikcfg under Xvfb shows its form: the screenshot is the form's
# size and holds the title's blue text and more than a blank window's colours.
set -euo pipefail
script=$1
export BRENVIKCFG=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export BRENVIK_SYSROOT=$tmp/root
# Sanitizer builds: the X11 side of Qt keeps some allocations until exit.
export LSAN_OPTIONS="suppressions=$(dirname "$0")/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
"$script" "$tmp/form.png" "$tmp/work" >/dev/null
[ -f "$tmp/work/spam.mdb" ] || { echo "the tool did not open spam.mdb in its folder" >&2; exit 1; }
/usr/bin/python3 - "$tmp/form.png" <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
pos, idat, width = 8, b"", 0
while pos < len(data):
    length, kind = struct.unpack(">I4s", data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + length]
    if kind == b"IHDR":
        width, height, depth, colour = struct.unpack(">IIBB", body[:10])
    elif kind == b"IDAT":
        idat += body
    pos += 12 + length
assert (width, height) == (536, 480), f"size {width}x{height}"
assert depth == 8 and colour in (2, 6), f"depth {depth} colour type {colour}"
bpp = 3 if colour == 2 else 4
raw, stride = zlib.decompress(idat), width * bpp
rows, prev = [], bytearray(stride)
for y in range(height):  # undo the per-row filters
    f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
    for x in range(stride):
        a, b, c = (line[x - bpp], prev[x], prev[x - bpp]) if x >= bpp else (0, prev[x], 0)
        p = a + b - c
        paeth = a if abs(p - a) <= min(abs(p - b), abs(p - c)) else b if abs(p - b) <= abs(p - c) else c
        line[x] = (line[x] + (0, a, b, (a + b) // 2, paeth)[f]) & 255
    rows.append(line); prev = line
colours = {bytes(r[x:x + 3]) for r in rows for x in range(0, stride, bpp)}
blue = sum(1 for r in rows[:40] for x in range(0, stride, bpp) if r[x:x + 3] == b"\x00\x00\xff")
assert len(colours) > 20, f"only {len(colours)} colours: nothing drawn"
assert blue > 20, "no blue title text"
print(f"form {width}x{height}, {len(colours)} colours, {blue} title pixels")
PY
