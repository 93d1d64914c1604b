#!/usr/bin/env bash
# Benchmarks: builds build/bench (optimised) and prints one table.
#   scripts/bench.sh           full run (about five minutes)
#   scripts/bench.sh --short   small counts, as the CI runs it
#   scripts/bench.sh --only server file   some parts of the table only
#     (network, unpaced, hostile, file, server)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S bench -B build/bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench -j2 >/dev/null
exec /usr/bin/python3 bench/bench.py --build build/bench "$@"
