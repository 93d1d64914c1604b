#!/usr/bin/env bash
# Builds the fuzz targets with clang into build/fuzz and runs each for a
# bounded time (default 20 s) on a copy of its checked-in seed corpus:
#   scripts/fuzz.sh [seconds per target] [target...]
# Findings land in build/fuzz/findings/<target>-crash-... ; the script then
# fails and prints the report. New corpus entries stay in build/fuzz/corpus.
# CI runs 10 s per target to keep the targets building and running; before a
# release, or after a change to a parser, run each for ten minutes:
#   scripts/fuzz.sh 600
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(line_reader registry_file access_sql sender_address recipient data_stream check_sender)

out=build/fuzz
cmake -S fuzz -B "$out" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$out" -j2 >/dev/null

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$out/findings" "$out/tmp"
export TMPDIR="$PWD/$out/tmp"   # the registry target's scratch machine root

failed=0
for t in "${targets[@]}"; do
  mkdir -p "$out/corpus/$t"
  max_len=4096
  [ "$t" = line_reader ] && max_len=70000   # lines longer than the 64 KiB buffer
  log="$out/findings/$t.log"
  if "$out/fuzz_$t" "$out/corpus/$t" "fuzz/corpus/$t" -max_total_time="$seconds" -timeout=5 \
       -rss_limit_mb=2048 -max_len="$max_len" -artifact_prefix="$out/findings/$t-" \
       -print_final_stats=1 >"$log" 2>&1; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    printf 'fuzz %-15s ok, %s inputs in %s s\n' "$t" "$runs" "$seconds"
  else
    printf 'fuzz %-15s FAILED, report in %s:\n' "$t" "$log"
    grep -E 'ERROR|SUMMARY|Test unit written|deadly signal|timeout' "$log" | head -20
    failed=1
  fi
done
rm -rf "$out/tmp"
exit $failed
