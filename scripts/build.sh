#!/usr/bin/env bash
# Configures and builds one variant into build/<variant>:
#   scripts/build.sh [default|asan|tsan] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
variant=${1:-default}
[ $# -gt 0 ] && shift
case "$variant" in
  default) sanitize="" ;;
  asan)    sanitize="address" ;;
  tsan)    sanitize="thread" ;;
  *) echo "build: unknown variant $variant" >&2; exit 2 ;;
esac
scripts/setup.sh
cmake -S . -B "build/$variant" -DBRENVIK_SANITIZE="$sanitize" "$@" >/dev/null
cmake --build "build/$variant" -j2
