#!/usr/bin/env bash
# The whole test suite: the normal build, the AddressSanitizer +
# UndefinedBehaviorSanitizer build, and the ThreadSanitizer build of the
# tests that run threads.
set -euo pipefail
cd "$(dirname "$0")/.."
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run() {
  local variant=$1; shift
  echo "== $variant build =="
  scripts/build.sh "$variant"
  echo "== $variant tests =="
  ctest --test-dir "build/$variant" --output-on-failure --timeout 300 -j2 "$@"
}

run default
run asan
run tsan -L threads
echo "== all tests passed =="
