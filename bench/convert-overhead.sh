#!/usr/bin/env bash
# The converter's cost over the bare resampler, in instructions per call
# (valgrind's callgrind counts them exactly, so the figures do not move with
# the machine's load). For each conversion it runs carovel_bench_convert's
# Convert/... and BareResampler/... benchmarks under callgrind, counting only
# inside CWaveConvert::Convert and inside speexdsp's interleaved calls, and
# divides by the number of those calls.
#
#   bench/convert-overhead.sh [build-dir] [conversion ...]
#
# Needs valgrind (apt-get install valgrind).
set -euo pipefail
build=${1:-build}
shift || true
cases=("$@")
if [ ${#cases[@]} -eq 0 ]; then
  cases=(48000x2x16_to_8000x1x16 48000x6x16_to_8000x2x16 48000x6x16_to_8000x1x16
         48000x8x24_to_16000x2x16)
fi
bench=$build/bench/carovel_bench_convert
# shellcheck source=bench/callgrind.sh
source "$(dirname "$0")/callgrind.sh"
callgrind_ready "$bench"

printf '| conversion | converter | bare speexdsp | overhead |\n| --- | --- | --- | --- |\n'
for c in "${cases[@]}"; do
  conv=$(callgrind_per_call '_Carovel::CWaveConvert::Convert*' 'CWaveConvert::Convert(' \
    "$bench" --benchmark_filter="^Convert/$c\$" --benchmark_min_time=0.5)
  bare=$(callgrind_per_call 'speex_resampler_process_interleaved_*' \
    'speex_resampler_process_interleaved_' \
    "$bench" --benchmark_filter="^BareResampler/$c\$" --benchmark_min_time=0.5)
  awk -v c="$c" -v a="$conv" -v b="$bare" \
    'BEGIN { printf "| %s | %d | %d | %+.1f%% |\n", c, a, b, (a / b - 1) * 100 }'
done
