#!/usr/bin/env bash
# Instructions per call of carovel_memory_speed's units, each beside its
# memcpy reference, counted exactly by valgrind's callgrind (only inside the
# named function and what it calls, divided by the calls to it), so that the
# figures do not move with the machine's load:
#
#   pass      CWaveMix::GetMixedFrame, 16 sources of 3840-byte frames, against
#             memory_speed::CopyPass (the 16 frames, one memcpy each)
#   round     memory_speed::MixerRound (1000 CMixer::AddFrame of 1920 bytes,
#             then MixPending(1)), against memory_speed::CopyRound
#   addframe  CMixer::AddFrame of one 1920-byte frame in the mixing format,
#             against memory_speed::Copy of the frame
#
#   bench/memory-speed-instructions.sh [build-dir]
#
# Needs valgrind (apt-get install valgrind).
set -euo pipefail
build=${1:-build}
prog=$build/bench/carovel_memory_speed
# shellcheck source=bench/callgrind.sh
source "$(dirname "$0")/callgrind.sh"
callgrind_ready "$prog"

# Instructions per call of the functions matching $2 (a callgrind
# --toggle-collect pattern) whose names contain $3, in a run with options $1.
per_call() {
  # shellcheck disable=SC2086 # $1 is a list of options
  callgrind_per_call "$2" "$3" "$prog" $1
}

row() {
  local name=$1 options=$2 mixer copy
  mixer=$(per_call "$options" "$3" "$4")
  copy=$(per_call "$options" "$5" "$6")
  awk -v n="$name" -v a="$mixer" -v b="$copy" \
    'BEGIN { printf "| %s | %d | %d | %.2f |\n", n, a, b, a / b }'
}

printf '| unit | carovel | memcpy reference | ratio |\n| --- | --- | --- | --- |\n'
row "pass, 16 × 3840 B" "--mode pass --reps 20" \
  '_Carovel::CWaveMix::GetMixedFrame*' 'CWaveMix::GetMixedFrame(' \
  'memory_speed::CopyPass*' 'memory_speed::CopyPass('
row "round, 1000 × 1920 B" "--mode round --reps 20" \
  'memory_speed::MixerRound*' 'memory_speed::MixerRound(' \
  'memory_speed::CopyRound*' 'memory_speed::CopyRound('
row "AddFrame, 1920 B" "--mode addframe --frames 20000" \
  '_Carovel::CMixer::AddFrame*' 'CMixer::AddFrame(' \
  'memory_speed::Copy(*' 'memory_speed::Copy('
