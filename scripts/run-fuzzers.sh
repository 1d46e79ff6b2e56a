#!/usr/bin/env bash
# Runs fuzz targets for a fixed time each, starting from the committed seed
# corpus in fuzz/corpus/<target>/. New inputs are kept in
# BUILD_DIR/fuzz-corpus/<target>/, crashing inputs in BUILD_DIR/fuzz-artifacts/.
# Fails on the first target that finds a crash, a leak, a time-out or a
# sanitizer report.
#
# Usage: scripts/run-fuzzers.sh BUILD_DIR SECONDS [TARGET...]
#   TARGET is mix, convert or intake (default: all three).
set -euo pipefail
cd "$(dirname "$0")/.."

build=$1 seconds=$2
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(mix convert intake)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

mkdir -p "$build/fuzz-artifacts"
for t in "${targets[@]}"; do
  fuzzer=$build/fuzz/fuzz_$t
  work=$build/fuzz-corpus/$t
  log=$build/fuzz-artifacts/$t.log
  mkdir -p "$work"
  echo "--- fuzz_$t for ${seconds} s"
  if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$t-" \
      "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "error: fuzz_$t failed; the input is in $build/fuzz-artifacts/" >&2
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
done
