#!/usr/bin/env bash
# Regenerates the example clips in examples/audio/ that `make demo` mixes.
# Needs espeak-ng and sox (Debian packages of the same names); the clips are
# committed, so only someone changing them needs this script.
#
#   voice.wav   master:   8000 Hz mono   16-bit WAV,  speech, 4.5 s
#   beat.aiff   source 1: 16000 Hz mono   8-bit AIFF, percussion, 3.0 s
#   pads.flac   source 2: 44100 Hz stereo 24-bit FLAC, chords, 5.0 s
#   bass.flac   source 3: 48000 Hz stereo 16-bit FLAC, bass line, 4.0 s
#
# The sources are shorter and longer than the master on purpose: a short
# source simply ends, a long one is cut where the master ends.
set -euo pipefail
cd "$(dirname "$0")/.."
out=examples/audio
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

for tool in espeak-ng sox; do
  command -v "$tool" >/dev/null || { echo "error: $tool is not installed" >&2; exit 1; }
done

# -R: repeatable noise and dither, so the script gives the same clips each run.
sox_r() { sox -R -V1 "$@"; }

# Master: a short spoken sentence, padded with silence to exactly 4.5 s.
espeak-ng -v en-us -s 150 -w "$tmp/speech.wav" \
  "This is the master track. It paces the mix. Three more sources join it."
sox_r "$tmp/speech.wav" -r 8000 -c 1 -b 16 "$out/voice.wav" \
  norm -3 pad 0.2 4.5 trim 0 4.5

# Source 1: a kick and a hi-hat on every beat at 120 bpm, 3 s.
sox_r -n -r 16000 -c 1 "$tmp/kick.wav" synth 0.5 sine 150:40 fade q 0.005 0.5 0.45 gain -4
sox_r -n -r 16000 -c 1 "$tmp/hat.wav" synth 0.5 whitenoise fade q 0.001 0.5 0.47 \
  highpass 6000 gain -10
sox_r -m "$tmp/kick.wav" "$tmp/hat.wav" "$tmp/beat1.wav"
sox_r "$tmp/beat1.wav" "$tmp/beat1.wav" "$tmp/beat1.wav" "$tmp/beat1.wav" \
  "$tmp/beat1.wav" "$tmp/beat1.wav" -b 8 -e signed-integer "$out/beat.aiff"

# Source 2: two plucked chords, left and right a little apart, 5 s.
sox_r -n -r 44100 -c 2 "$tmp/c.wav" synth 2.5 pluck C3 pluck E3 pluck G3 remix 1,2 2,3 \
  gain -16
sox_r -n -r 44100 -c 2 "$tmp/f.wav" synth 2.5 pluck F3 pluck A3 pluck C4 remix 1,2 2,3 \
  gain -16
sox_r "$tmp/c.wav" "$tmp/f.wav" -b 24 "$out/pads.flac"

# Source 3: a bass line of four notes, 4 s.
for note in C2 A1 F1 G1; do
  sox_r -n -r 48000 -c 2 "$tmp/$note.wav" synth 1 triangle "$note" fade q 0.01 1 0.2 gain -14
done
sox_r "$tmp/C2.wav" "$tmp/A1.wav" "$tmp/F1.wav" "$tmp/G1.wav" -b 16 "$out/bass.flac"

ls -l "$out"
