# Sourced by the bench scripts that time whole programs (mix-compare.sh,
# mix-rates.sh).

# Installs the Debian packages named (with sudo when not root), if any.
bench_apt_install() {
  [ $# -gt 0 ] || return 0
  echo "installing $*" >&2
  local as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q --no-install-recommends \
    "$@" >/dev/null
}

# Runs a command RUNS times after a warm-up run (page cache, dynamic
# loading); prints "wall_min wall_median cpu_min cpu_median" in seconds,
# where cpu is the user + system time of the process (GNU time).
bench_time_runs() {
  local runs=$1
  shift
  local walls=() cpus=() line r
  "$@" >/dev/null 2>&1
  for ((r = 0; r < runs; r++)); do
    line=$(/usr/bin/time -f '%e %U %S' "$@" 2>&1 >/dev/null | tail -1)
    walls+=("$(echo "$line" | awk '{ print $1 }')")
    cpus+=("$(echo "$line" | awk '{ printf "%.2f", $2 + $3 }')")
  done
  local summary='{ t[NR] = $1 } END { printf "%.2f %.2f", t[1], t[int((NR + 1) / 2)] }'
  echo "$(printf '%s\n' "${walls[@]}" | sort -g | awk "$summary")" \
    "$(printf '%s\n' "${cpus[@]}" | sort -g | awk "$summary")"
}
