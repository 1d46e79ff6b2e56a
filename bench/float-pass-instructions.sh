#!/usr/bin/env bash
# Instructions per pass of carovel_float_pass's units, the float mixing
# format beside the 16-bit one, counted exactly by valgrind's callgrind
# (only inside the named function and what it calls, divided by the calls
# to it), so that the figures do not move with the machine's load:
#
#   plain   one CWaveMix pass over 16 sources of 20 ms 48 kHz stereo frames
#   minus   the same with gains of 0.5 and 16 mix-minus outputs
#
#   bench/float-pass-instructions.sh [build-dir]
#
# Needs valgrind (apt-get install valgrind).
set -euo pipefail
build=${1:-build}
prog=$build/bench/carovel_float_pass
# shellcheck source=bench/callgrind.sh
source "$(dirname "$0")/callgrind.sh"
callgrind_ready "$prog"

per_call() {
  callgrind_per_call "float_pass::$1*" "float_pass::$1(" "$prog" --reps 10
}

row() {
  local name=$1 a b
  a=$(per_call "$2")
  b=$(per_call "$3")
  awk -v n="$name" -v a="$a" -v b="$b" \
    'BEGIN { printf "| %s | %d | %d | %.2f |\n", n, a, b, b / a }'
}

printf '| unit | 16-bit | float | ratio |\n| --- | --- | --- | --- |\n'
row "plain pass, 16 × 20 ms stereo" Pass16 PassFloat
row "gains 0.5 + 16 mix-minus outputs" Minus16 MinusFloat
