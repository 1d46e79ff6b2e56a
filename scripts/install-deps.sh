#!/usr/bin/env bash
# Installs the Debian packages that carovel needs to build, test and run its
# demo, skipping those already present.
# Usage: scripts/install-deps.sh [--python] [extra packages]
# --python adds what the Python module needs (make python, make test-python).
set -euo pipefail

python=()
if [ "${1:-}" = "--python" ]; then
  shift
  python=(pybind11-dev python3-dev python3-numpy python3-pytest)
fi

packages=(
  cmake ninja-build g++ pkg-config make
  libgtest-dev libgmock-dev libbenchmark-dev
  libspeexdsp-dev libsoxr-dev libsndfile1-dev libcli11-dev
  # carovel-mix --loudness measures with libebur128.
  libebur128-dev
  # The command-line mixer's tests make and check audio with sox, and check
  # its loudness and lossy outputs with ffmpeg's meter and ffprobe.
  sox ffmpeg
  "${python[@]}"
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "error: need root or sudo to install: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
