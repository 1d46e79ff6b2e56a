#!/usr/bin/env bash
# What --pan costs in carovel-mix: times a plain stereo mix of two mono
# sources (--channels 2, each source on both sides) against the same mix with
# the sources panned (--pan 0=left --pan 1=right), both written to /dev/null,
# and counts their instructions with valgrind's callgrind on 30 s versions.
# The inputs (two ten-minute 48 kHz mono 16-bit noise files, made with sox)
# go to a temporary directory, removed afterwards.
#
# Usage: bench/mix-pan.sh [CAROVEL_MIX] [RUNS]
#   CAROVEL_MIX  the carovel-mix binary (default: build/tools/carovel-mix)
#   RUNS         timed runs of each (default 5), after one warm-up run each
# Needs sox and GNU time; valgrind for the instruction counts (skipped when
# missing).
set -euo pipefail
cd "$(dirname "$0")/.."
mix=${1:-build/tools/carovel-mix}
runs=${2:-5}
command -v sox >/dev/null || { echo "needs sox" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs GNU time (/usr/bin/time)" >&2; exit 2; }
[ -x "$mix" ] || { echo "no $mix: build first (make build)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sox -n -r 48000 -c 1 -b 16 "$work/a.wav" synth 600 pinknoise vol 0.2 2>/dev/null
sox -n -r 48000 -c 1 -b 16 "$work/b.wav" synth 600 whitenoise vol 0.2 2>/dev/null
sox "$work/a.wav" "$work/a30.wav" trim 0 30
sox "$work/b.wav" "$work/b30.wav" trim 0 30

plain=(-q --channels 2 -o /dev/null)
panned=(-q --pan 0=left --pan 1=right -o /dev/null)

# Median of the numbers on standard input.
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Prints "wall-median cpu-median" of RUNS runs of carovel-mix with its arguments.
timed() {
  "$mix" "$@" "$work/a.wav" "$work/b.wav"  # warm-up
  local i
  : >"$work/times"
  for ((i = 0; i < runs; i++)); do
    /usr/bin/time -f "%e %U %S" -a -o "$work/times" "$mix" "$@" "$work/a.wav" "$work/b.wav"
  done
  echo "$(awk '{ print $1 }' "$work/times" | median) $(awk '{ print $2 + $3 }' "$work/times" | median)"
}

# The plain and the panned runs alternate, so that both see the same load.
read -r plain_wall plain_cpu < <(timed "${plain[@]}")
read -r pan_wall pan_cpu < <(timed "${panned[@]}")
printf 'mix of 2 x 600 s   wall median  CPU median\n'
printf 'plain (--channels 2)  %8.2f s  %8.2f s\n' "$plain_wall" "$plain_cpu"
printf 'panned (--pan)        %8.2f s  %8.2f s\n' "$pan_wall" "$pan_cpu"
awk -v a="$pan_wall" -v b="$plain_wall" -v c="$pan_cpu" -v d="$plain_cpu" \
  'BEGIN { printf "panned / plain: wall %.2fx, CPU %.2fx\n", a / b, c / d }'

if command -v valgrind >/dev/null; then
  count() {
    valgrind --tool=callgrind --callgrind-out-file="$work/cg" "$mix" "$@" \
      "$work/a30.wav" "$work/b30.wav" 2>&1 | awk '/refs:/ { gsub(",", "", $NF); print $NF }'
  }
  plain_ir=$(count "${plain[@]}")
  pan_ir=$(count "${panned[@]}")
  printf 'instructions, 2 x 30 s: plain %s, panned %s, ratio %s\n' "$plain_ir" "$pan_ir" \
    "$(awk -v a="$pan_ir" -v b="$plain_ir" 'BEGIN { printf "%.2f", a / b }')"
fi
