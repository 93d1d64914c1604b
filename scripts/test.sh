#!/usr/bin/env bash
# The whole test suite: the normal build, the AddressSanitizer +
# UndefinedBehaviorSanitizer build and the ThreadSanitizer build (without
# the Qt tool), then bounded fuzzing and the short benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# run <variant> "<cmake arguments>" [ctest arguments...]
run() {
  local variant=$1 cmake_args=$2; shift 2
  echo "== $variant build =="
  # shellcheck disable=SC2086
  scripts/build.sh "$variant" $cmake_args
  echo "== $variant tests =="
  ctest --test-dir "build/$variant" --output-on-failure --timeout 600 -j2 "$@"
}

run default ""
run asan ""
# Qt is not instrumented for ThreadSanitizer; the tool runs one thread anyway.
run tsan "-DBRENVIK_BUILD_TOOL=OFF"
# Bounded runs that keep the fuzz targets and the benchmark from rotting.
echo "== fuzz targets, 10 s each =="
scripts/fuzz.sh 10
echo "== benchmarks, short mode =="
scripts/bench.sh --short
echo "== all tests passed =="
