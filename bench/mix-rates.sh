#!/usr/bin/env bash
# Times carovel-mix against ffmpeg (amix=normalize=0, then aresample) and sox
# on mixes whose sources are at other rates than the output, all summing
# without scaling into a 48 kHz stereo 16-bit WAV:
#   shared: 16 two-minute 16 kHz mono voices (one rate: carovel-mix mixes at
#           16 kHz and converts the mix once; also shown with --convert-each)
#   mixed:  4 two-minute 16 kHz mono voices and 4 two-minute 44.1 kHz stereo
#           music beds (carovel-mix mixes the voices after the master and
#           the beds at their rates first, and converts each such submix
#           once; --convert-each converts every source)
# The inputs are generated in a temporary directory and removed afterwards.
# Each output's level and length are printed beside its cost, so that the
# tools are seen to do the same job.
#
# Usage: bench/mix-rates.sh [CAROVEL_MIX] [RUNS] [JOBS]
#   CAROVEL_MIX  the carovel-mix binary (default: build/tools/carovel-mix)
#   RUNS         timed runs per tool and job (default 5), after a warm-up
#   JOBS         "shared mixed" (default) or either one
# Needs sox, ffmpeg and GNU time (Debian packages sox, ffmpeg and time;
# installed with apt-get when missing). They are not dependencies of
# carovel, only this script uses them.
set -euo pipefail
cd "$(dirname "$0")/.."
mix=${1:-build/tools/carovel-mix}
runs=${2:-5}
jobs=${3:-shared mixed}

. bench/timing.sh
need=()
command -v sox >/dev/null || need+=(sox)
command -v ffmpeg >/dev/null || need+=(ffmpeg)
[ -x /usr/bin/time ] || need+=(time)
bench_apt_install "${need[@]}"
command -v "$mix" >/dev/null || { echo "error: $mix not found" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Times a command (see bench_time_runs); prints "wall_median cpu_min
# cpu_median" in seconds.
time_runs() {
  bench_time_runs "$runs" "$@" | awk '{ print $2, $3, $4 }'
}

# "duration rms_db" of a file, by sox.
measure() {
  sox -V1 "$1" -n stat 2>&1 | awk '/^Length/ { d = $3 } /^RMS +amplitude/ { r = $3 }
    END { printf "%.2fs %.1fdB", d, 20 * log(r) / log(10) }'
}

run_job() {
  local title=$1
  shift
  local inputs=("$@") ff_inputs=() sox_inputs=()
  for f in "${inputs[@]}"; do ff_inputs+=(-i "$f"); sox_inputs+=(-v 1 "$f"); done
  echo
  echo "$title, $runs timed runs each (seconds; cpu = user + system)"
  printf '%-28s %11s %8s %11s %16s %s\n' tool wall-median cpu-min cpu-median "cpu vs ffmpeg" output
  local f_row f_cpu row graph="" labels="" i
  # Mono inputs go into both channels at full level, as carovel-mix and sox
  # spread them (ffmpeg's own upmix would put them 3 dB down).
  for ((i = 0; i < ${#inputs[@]}; i++)); do
    if [ "$(soxi -c "${inputs[i]}")" -eq 1 ]; then
      graph+="[$i:a]pan=stereo|c0=c0|c1=c0[in$i];"
    else
      graph+="[$i:a]anull[in$i];"
    fi
    labels+="[in$i]"
  done
  graph+="${labels}amix=inputs=${#inputs[@]}:duration=longest:normalize=0,aresample=48000"
  graph+=",aformat=sample_fmts=s16:channel_layouts=stereo"
  f_row=$(time_runs ffmpeg -nostdin -loglevel error -y "${ff_inputs[@]}" \
    -filter_complex "$graph" -c:a pcm_s16le "$work/ffmpeg.wav")
  f_cpu=$(echo "$f_row" | awk '{ print $3 }')
  ratio() { awk -v c="$1" -v f="$f_cpu" 'BEGIN { printf "%.2f", c / f }'; }
  row() {  # name, output file, timing row
    printf '%-28s %11s %8s %11s %16s %s\n' "$1" $3 "$(ratio "$(echo "$3" | awk '{ print $3 }')")" \
      "$(measure "$2")"
  }
  row "carovel-mix" "$work/carovel.wav" \
    "$(time_runs "$mix" -q --rate 48000 --channels 2 -o "$work/carovel.wav" "${inputs[@]}")"
  row "carovel-mix --convert-each" "$work/each.wav" \
    "$(time_runs "$mix" -q --convert-each --rate 48000 --channels 2 -o "$work/each.wav" \
      "${inputs[@]}")"
  row "ffmpeg amix + aresample" "$work/ffmpeg.wav" "$f_row"
  # sox -m needs one rate: it takes the first input's and refuses others.
  if [ "$(printf '%s\n' "${inputs[@]}" | xargs -n1 soxi -r | sort -u | wc -l)" -eq 1 ]; then
    row "sox -m, rate 48k" "$work/sox.wav" \
      "$(time_runs sox -V1 -D -m "${sox_inputs[@]}" -b 16 -c 2 "$work/sox.wav" rate 48000)"
  fi
}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
for job in $jobs; do
  case $job in
    shared)
      inputs=()
      for i in $(seq 1 16); do
        f="$work/voice$i.wav"
        sox -R -V1 -n -r 16000 -c 1 -b 16 "$f" synth 120 sine $((90 + 37 * i)) pinknoise \
          remix 1,2 gain -n -30
        inputs+=("$f")
      done
      run_job "shared: 16 x 120 s of 16 kHz mono into 48 kHz stereo" "${inputs[@]}"
      rm -f "$work"/voice*.wav
      ;;
    mixed)
      inputs=()
      for i in 1 2 3 4; do
        f="$work/voice$i.wav"
        sox -R -V1 -n -r 16000 -c 1 -b 16 "$f" synth 120 sine $((90 + 37 * i)) pinknoise \
          remix 1,2 gain -n -21
        inputs+=("$f")
      done
      for i in 1 2 3 4; do
        f="$work/bed$i.wav"
        sox -R -V1 -n -r 44100 -c 2 -b 16 "$f" synth 120 sine $((220 * i)) pinknoise \
          remix 1,2 1,2 gain -n -21
        inputs+=("$f")
      done
      run_job "mixed: 4 x 120 s of 16 kHz mono and 4 of 44.1 kHz stereo into 48 kHz stereo" \
        "${inputs[@]}"
      ;;
    *)
      echo "error: unknown job $job" >&2
      exit 2
      ;;
  esac
done
echo
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
