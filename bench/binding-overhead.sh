#!/usr/bin/env bash
# The per-call cost of the C interface and of the Python module against the
# C++ calls, in one run: carovel_binding_overhead (C++ and C, interleaved),
# then bench/python_overhead.py against the module in <build>/python, then
# (with valgrind) the instructions per iteration of the C++ and C cases,
# which do not move with the machine's load.
#
#   make python && bench/binding-overhead.sh [build-dir]
set -euo pipefail
build=${1:-build}
bench=$build/bench/carovel_binding_overhead
python=${PYTHON:-/usr/bin/python3}
here=$(dirname "$0")

echo "== time per iteration (best of 7 rounds)"
"$bench"
if [ -d "$build/python" ]; then
  PYTHONPATH=$build/python "$python" "$here/python_overhead.py"
else
  echo "(no $build/python: make python for the Python figures)"
fi

if command -v valgrind >/dev/null; then
  # shellcheck source=bench/callgrind.sh
  source "$here/callgrind.sh"
  callgrind_ready "$bench"
  echo "== instructions per iteration (callgrind)"
  for name in empty_add cycle stats; do
    cpp=$(callgrind_per_call "bench_cpp_$name" "bench_cpp_$name" "$bench" --only "$name" \
      --calls 20000 --rounds 1)
    c=$(callgrind_per_call "bench_c_$name" "bench_c_$name" "$bench" --only "$name" \
      --calls 20000 --rounds 1)
    echo "$name C++ $cpp C $c"
  done
fi
