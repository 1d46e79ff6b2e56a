#!/usr/bin/env bash
# Times carovel-mix against `sox -m` and ffmpeg's amix filter on the same job:
# eight one-minute 48 kHz stereo 16-bit files summed into one, all three set
# up for a plain sum (no scaling, no dither, no normalisation). The inputs
# are generated in a temporary directory and removed afterwards.
#
# Usage: bench/mix-compare.sh [CAROVEL_MIX] [RUNS]
#   CAROVEL_MIX  the carovel-mix binary (default: build/tools/carovel-mix)
#   RUNS         timed runs per tool (default 7); the first run of each is a
#                warm-up and not counted
# Needs sox and ffmpeg (Debian packages of the same names); they are not
# dependencies of carovel and only this script uses them.
set -euo pipefail
cd "$(dirname "$0")/.."
mix=${1:-build/tools/carovel-mix}
runs=${2:-7}

for tool in sox ffmpeg "$mix"; do
  command -v "$tool" >/dev/null || { echo "error: $tool not found" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Eight different tones with a little noise, each at -21 dBFS peak so the sum
# of all eight stays below full scale and no tool has to clip.
inputs=()
for i in 1 2 3 4 5 6 7 8; do
  f="$work/in$i.wav"
  sox -R -V1 -n -r 48000 -c 2 -b 16 "$f" synth 60 sine $((110 * i)) pinknoise \
    remix 1,2 1,2 gain -n -21
  inputs+=("$f")
done

sox_inputs=()
for f in "${inputs[@]}"; do sox_inputs+=(-v 1 "$f"); done
ff_inputs=()
for f in "${inputs[@]}"; do ff_inputs+=(-i "$f"); done

run_carovel() { "$mix" -q -o "$work/carovel.wav" "${inputs[@]}"; }
# -v 1 per input turns off sox's default 1/n scaling of -m; -D: no dither.
run_sox() { sox -V1 -D -m "${sox_inputs[@]}" -b 16 "$work/sox.wav"; }
# normalize=0: amix adds its inputs instead of averaging them.
run_ffmpeg() {
  ffmpeg -nostdin -loglevel error -y "${ff_inputs[@]}" \
    -filter_complex "amix=inputs=8:duration=first:normalize=0" -c:a pcm_s16le "$work/ffmpeg.wav"
}

now() { date +%s.%N; }

# Prints "min median max" of the timed runs in seconds.
time_tool() {
  local name=$1 times=() start end
  "run_$name"  # warm-up: page cache, dynamic loading
  for ((r = 0; r < runs; r++)); do
    start=$(now)
    "run_$name"
    end=$(now)
    times+=("$(echo "$end - $start" | bc -l)")
  done
  printf '%s\n' "${times[@]}" | sort -g | awk '{ t[NR] = $1 }
    END { printf "%.3f %.3f %.3f\n", t[1], t[int((NR + 1) / 2)], t[NR] }'
}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "job: 8 x 60 s of 48000 Hz stereo 16-bit WAV, $runs timed runs each (seconds)"
printf '%-12s %8s %8s %8s\n' tool min median max
for tool in carovel sox ffmpeg; do
  read -r lo mid hi < <(time_tool "$tool")
  printf '%-12s %8s %8s %8s\n' "$tool" "$lo" "$mid" "$hi"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

# The three must agree on the result. sox and carovel both add integers;
# ffmpeg adds in floating point, so allow it one step of rounding.
diff_peak() {  # largest sample difference between two files, in 16-bit steps
  sox -V1 -m -v 1 "$1" -v -1 "$2" -n stats 2>&1 | awk '/^Pk lev dB/ { print $4 }'
}
echo "peak difference carovel - sox:    $(diff_peak "$work/carovel.wav" "$work/sox.wav") dBFS"
echo "peak difference carovel - ffmpeg: $(diff_peak "$work/carovel.wav" "$work/ffmpeg.wav") dBFS"
