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
command -v valgrind >/dev/null || { echo "needs valgrind (apt-get install valgrind)" >&2; exit 2; }
[ -x "$bench" ] || { echo "no $bench: build first (make build)" >&2; exit 2; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT

for name in "${names[@]}"; do
  valgrind --tool=callgrind --callgrind-out-file="$out" \
    --toggle-collect='_Carovel::CWaveMix::GetMixedFrame*' \
    "$bench" --benchmark_filter="^$name\$" --benchmark_min_time=0.2 >/dev/null 2>&1
  echo "$name $(awk -v want='CWaveMix::GetMixedFrame(' -f "$(dirname "$0")/callgrind-per-call.awk" "$out")"
done
