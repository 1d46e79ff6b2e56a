#!/usr/bin/env bash
# Instructions per mixing pass, counted exactly by valgrind's callgrind inside
# CWaveMix::GetMixedFrame and divided by the number of calls to it, for
# carovel_bench_mix's benchmarks (exact names, or the defaults below). The
# counts do not move with the machine's load, so builds of two commits can be
# compared.
#
#   bench/pass-instructions.sh [build-dir] [benchmark ...]
#
# Needs valgrind (apt-get install valgrind).
set -euo pipefail
build=${1:-build}
shift || true
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  names=(BM_MixPass/frame_bytes:320/tracks:16 BM_MixPass/frame_bytes:320/tracks:1024
         BM_MixPass/frame_bytes:3840/tracks:128)
fi
bench=$build/bench/carovel_bench_mix
# shellcheck source=bench/callgrind.sh
source "$(dirname "$0")/callgrind.sh"
callgrind_ready "$bench"

for name in "${names[@]}"; do
  echo "$name $(callgrind_per_call '_Carovel::CWaveMix::GetMixedFrame*' 'CWaveMix::GetMixedFrame(' \
    "$bench" --benchmark_filter="^$name\$" --benchmark_min_time=0.2)"
done
