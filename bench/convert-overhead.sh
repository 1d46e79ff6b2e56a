#!/usr/bin/env bash
# The converter's cost over bare libsoxr, in instructions per call
# (valgrind's callgrind counts them exactly, so the figures do not move with
# the machine's load). For each conversion it runs carovel_bench_convert's
# Convert/... and BareSoxr/... benchmarks under callgrind, counting only
# inside CWaveConvert::Convert and inside soxr_process, and divides by the
# number of those calls (one per 20 ms block).
#
#   bench/convert-overhead.sh [build-dir] [conversion ...]
#
# Needs valgrind (apt-get install valgrind).
set -euo pipefail
build=${1:-build}
shift || true
cases=("$@")
if [ ${#cases[@]} -eq 0 ]; then
  cases=(48000x2x16_to_8000x1x16 44100x2x16_to_48000x2x16 16000x1x16_to_48000x1x16)
fi
bench=$build/bench/carovel_bench_convert
# shellcheck source=bench/callgrind.sh
source "$(dirname "$0")/callgrind.sh"
callgrind_ready "$bench"

printf '| conversion | converter | bare libsoxr | overhead |\n| --- | --- | --- | --- |\n'
for c in "${cases[@]}"; do
  conv=$(callgrind_per_call '_Carovel::CWaveConvert::Convert*' 'CWaveConvert::Convert(' \
    "$bench" --benchmark_filter="^Convert/$c\$" --benchmark_min_time=0.5)
  bare=$(callgrind_per_call 'soxr_process' 'soxr_process' \
    "$bench" --benchmark_filter="^BareSoxr/$c\$" --benchmark_min_time=0.5)
  awk -v c="$c" -v a="$conv" -v b="$bare" \
    'BEGIN { printf "| %s | %d | %d | %+.1f%% |\n", c, a, b, (a / b - 1) * 100 }'
done
