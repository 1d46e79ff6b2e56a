#!/usr/bin/env bash
# The converter's cost over its bare resampler, in instructions per call
# (valgrind's callgrind counts them exactly, so the figures do not move with
# the machine's load). For each conversion it runs carovel_bench_convert's
# converter benchmark and the bare resampler's under callgrind, counting only
# inside CWaveConvert::Convert and inside the resampler's calls, and divides
# by the number of those calls (one per 20 ms block):
#  - by default the default resampler (Resampler::kLowLatency): Convert/...
#    against speexdsp's interleaved calls in BareResampler/...;
#  - with RESAMPLER=fast, Resampler::kFast: ConvertFast/... against
#    soxr_process in BareSoxr/....
#
#   [RESAMPLER=fast] bench/convert-overhead.sh [build-dir] [conversion ...]
#
# Needs valgrind (apt-get install valgrind).
set -euo pipefail
build=${1:-build}
shift || true
cases=("$@")
fast=0
[ "${RESAMPLER:-}" = fast ] && fast=1
if [ ${#cases[@]} -eq 0 ]; then
  if [ $fast -eq 1 ]; then
    cases=(48000x2x16_to_8000x1x16 44100x2x16_to_48000x2x16 16000x1x16_to_48000x1x16)
  else
    cases=(48000x2x16_to_8000x1x16 48000x6x16_to_8000x2x16 48000x6x16_to_8000x1x16
           48000x8x24_to_16000x2x16)
  fi
fi
bench=$build/bench/carovel_bench_convert
# shellcheck source=bench/callgrind.sh
source "$(dirname "$0")/callgrind.sh"
callgrind_ready "$bench"

if [ $fast -eq 1 ]; then
  printf '| conversion | converter (kFast) | bare libsoxr | overhead |\n| --- | --- | --- | --- |\n'
else
  printf '| conversion | converter | bare speexdsp | overhead |\n| --- | --- | --- | --- |\n'
fi
for c in "${cases[@]}"; do
  if [ $fast -eq 1 ]; then
    conv=$(callgrind_per_call '_Carovel::CWaveConvert::Convert*' 'CWaveConvert::Convert(' \
      "$bench" --benchmark_filter="^ConvertFast/$c\$" --benchmark_min_time=0.5)
    bare=$(callgrind_per_call 'soxr_process' 'soxr_process' \
      "$bench" --benchmark_filter="^BareSoxr/$c\$" --benchmark_min_time=0.5)
  else
    conv=$(callgrind_per_call '_Carovel::CWaveConvert::Convert*' 'CWaveConvert::Convert(' \
      "$bench" --benchmark_filter="^Convert/$c\$" --benchmark_min_time=0.5)
    bare=$(callgrind_per_call 'speex_resampler_process_interleaved_*' \
      'speex_resampler_process_interleaved_' \
      "$bench" --benchmark_filter="^BareResampler/$c\$" --benchmark_min_time=0.5)
  fi
  awk -v c="$c" -v a="$conv" -v b="$bare" \
    'BEGIN { printf "| %s | %d | %d | %+.1f%% |\n", c, a, b, (a / b - 1) * 100 }'
done
