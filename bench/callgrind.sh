# shellcheck shell=bash
# Sourced by the instruction-count scripts: checks that valgrind and the
# program to measure are there, and counts instructions per call exactly
# with valgrind's callgrind (the counts do not move with the machine's load).
#
#   source "$(dirname "$0")/callgrind.sh"
#   callgrind_ready PROGRAM
#   callgrind_per_call TOGGLE WANT PROGRAM [ARGS ...]

callgrind_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Fails unless valgrind is installed and PROGRAM is built; makes the output
# file the counts are read from.
callgrind_ready() {
  command -v valgrind >/dev/null || { echo "needs valgrind (apt-get install valgrind)" >&2; exit 2; }
  [ -x "$1" ] || { echo "no $1: build first (make build)" >&2; exit 2; }
  callgrind_out=$(mktemp)
  trap 'rm -f "$callgrind_out"' EXIT
}

# Instructions collected inside the functions matching TOGGLE (a callgrind
# --toggle-collect pattern), divided by the calls to the functions whose
# names contain WANT, in a run of PROGRAM with ARGS.
callgrind_per_call() {
  local toggle=$1 want=$2
  shift 2
  valgrind --tool=callgrind --callgrind-out-file="$callgrind_out" --toggle-collect="$toggle" \
    "$@" >/dev/null 2>&1
  awk -v want="$want" -f "$callgrind_dir/callgrind-per-call.awk" "$callgrind_out"
}
