#!/usr/bin/env bash
# Times carovel-mix (offline, default options: 20 ms frames) against
# `sox -D -m` (and ffmpeg's amix filter where ffmpeg is installed) on the same
# jobs, all set up for a plain sum (no scaling, no dither, no normalisation):
#   calls:  two two-hour 8000 Hz mono 16-bit legs of a call summed into one
#   music:  eight one-minute 48 kHz stereo 16-bit files summed into one
# The inputs are generated in a temporary directory and removed afterwards.
# Each tool's output is compared with sox's byte for byte.
#
# Usage: bench/mix-compare.sh [CAROVEL_MIX] [RUNS] [JOBS]
#   CAROVEL_MIX  the carovel-mix binary (default: build/tools/carovel-mix)
#   RUNS         timed runs per tool and job (default 5); one warm-up run of
#                each comes first and is not counted
#   JOBS         "calls music" (default) or either one
# Needs sox and GNU time (Debian packages sox and time; installed with
# apt-get when missing). ffmpeg is used when present; it and sox are not
# dependencies of carovel, only this script uses them.
set -euo pipefail
cd "$(dirname "$0")/.."
mix=${1:-build/tools/carovel-mix}
runs=${2:-5}
jobs=${3:-calls music}

. bench/timing.sh
need=()
command -v sox >/dev/null || need+=(sox)
[ -x /usr/bin/time ] || need+=(time)
bench_apt_install "${need[@]}"
command -v "$mix" >/dev/null || { echo "error: $mix not found" >&2; exit 1; }
have_ffmpeg=0
command -v ffmpeg >/dev/null && have_ffmpeg=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Times a command (see bench_time_runs); prints "wall_min wall_median
# cpu_median" in seconds.
time_runs() {
  bench_time_runs "$runs" "$@" | awk '{ print $1, $2, $4 }'
}

# One job: carovel-mix, sox and ffmpeg on the given inputs, in that order,
# one table row each, then whether the outputs equal sox's.
run_job() {
  local title=$1
  shift
  local inputs=("$@") sox_inputs=() ff_inputs=()
  for f in "${inputs[@]}"; do sox_inputs+=(-v 1 "$f"); ff_inputs+=(-i "$f"); done
  echo
  echo "$title, $runs timed runs each (seconds; cpu = user + system)"
  printf '%-14s %9s %11s %11s %12s\n' tool wall-min wall-median cpu-median "vs sox (cpu)"
  local sox_cpu c_row s_row f_row
  # -v 1 per input turns off sox's default 1/n scaling of -m; -D: no dither.
  s_row=$(time_runs sox -V1 -D -m "${sox_inputs[@]}" -b 16 "$work/sox.wav")
  c_row=$(time_runs "$mix" -q -o "$work/carovel.wav" "${inputs[@]}")
  sox_cpu=$(echo "$s_row" | awk '{ print $3 }')
  ratio() { awk -v c="$1" -v s="$sox_cpu" 'BEGIN { printf "%.2f", c / s }'; }
  printf '%-14s %9s %11s %11s %12s\n' carovel-mix $c_row "$(ratio "$(echo "$c_row" | awk '{ print $3 }')")"
  printf '%-14s %9s %11s %11s %12s\n' "sox -D -m" $s_row 1.00
  if [ "$have_ffmpeg" -eq 1 ]; then
    # normalize=0: amix adds its inputs instead of averaging them.
    f_row=$(time_runs ffmpeg -nostdin -loglevel error -y "${ff_inputs[@]}" \
      -filter_complex "amix=inputs=${#inputs[@]}:duration=longest:normalize=0" \
      -c:a pcm_s16le "$work/ffmpeg.wav")
    printf '%-14s %9s %11s %11s %12s\n' "ffmpeg amix" $f_row \
      "$(ratio "$(echo "$f_row" | awk '{ print $3 }')")"
  fi
  # Compare the audio, not the headers: sox and carovel write different
  # WAV header chunks.
  if cmp -s <(sox -V1 "$work/carovel.wav" -t raw -) <(sox -V1 "$work/sox.wav" -t raw -); then
    echo "carovel-mix output: identical samples to sox's"
  else
    echo "carovel-mix output: DIFFERS from sox's"
  fi
}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
for job in $jobs; do
  case $job in
    calls)
      # Two legs of a two-hour call, each at -9 dBFS peak so the sum stays
      # below full scale.
      sox -R -V1 -n -r 8000 -c 1 -b 16 "$work/leg1.wav" synth 7200 sine 300 pinknoise \
        remix 1,2 gain -n -9
      sox -R -V1 -n -r 8000 -c 1 -b 16 "$work/leg2.wav" synth 7200 sine 440 brownnoise \
        remix 1,2 gain -n -9
      run_job "calls: 2 x 7200 s of 8000 Hz mono 16-bit WAV" "$work/leg1.wav" "$work/leg2.wav"
      rm -f "$work"/leg*.wav
      ;;
    music)
      # Eight different tones with a little noise, each at -21 dBFS peak so
      # the sum of all eight stays below full scale and no tool has to clip.
      inputs=()
      for i in 1 2 3 4 5 6 7 8; do
        f="$work/in$i.wav"
        sox -R -V1 -n -r 48000 -c 2 -b 16 "$f" synth 60 sine $((110 * i)) pinknoise \
          remix 1,2 1,2 gain -n -21
        inputs+=("$f")
      done
      run_job "music: 8 x 60 s of 48000 Hz stereo 16-bit WAV" "${inputs[@]}"
      ;;
    *)
      echo "error: unknown job $job" >&2
      exit 2
      ;;
  esac
done
echo
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
