#!/usr/bin/env bash
# Configures and builds one variant: scripts/build.sh [default|asan|tsan]
# into build/<variant>.
set -euo pipefail
cd "$(dirname "$0")/.."
variant=${1:-default}
case "$variant" in
  default) sanitize="" ;;
  asan)    sanitize="address" ;;
  tsan)    sanitize="thread" ;;
  *) echo "build: unknown variant $variant" >&2; exit 2 ;;
esac
scripts/setup.sh
cmake -S . -B "build/$variant" -DBRENVIK_SANITIZE="$sanitize" >/dev/null
cmake --build "build/$variant" -j2
