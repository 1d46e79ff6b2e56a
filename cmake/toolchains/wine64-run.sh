#!/bin/sh
# Runs a Windows program under wine64 in the given wine prefix: the cross
# build's emulator for test discovery and ctest.
#
# Usage: wine64-run.sh WINEPREFIX PROGRAM [ARGUMENTS...]
#        wine64-run.sh WINEPREFIX --stop      (ends the prefix's wine server)
#
# Wine starts its background processes (services, a hidden desktop) from the
# first program of a server's life, and they inherit that program's output: a
# test runner reading it would wait for them until the server exits. So the
# server is started here, its background processes with their output
# elsewhere, and it stays up for a minute after the last program so that the
# next one starts at once.
set -eu
export WINEPREFIX="$1"
shift
export WINEDEBUG=-all
# No .NET or HTML engine downloads when the prefix is created.
export WINEDLLOVERRIDES="mscoree,mshtml="

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver64 || command -v wineserver || echo /usr/lib/wine/wineserver64)

if [ "${1:-}" = "--stop" ]; then
    "$wineserver" -k 2>/dev/null || true
    exit 0
fi

mkdir -p "$WINEPREFIX"
# Programs started in parallel wait here until the server is up and booted.
# Exit status 0 from wineserver: this call started it (2: one is already
# running), so this call boots the prefix too, creating it the first time.
(
    flock 9
    # Neither the server nor wine's background processes may keep the lock.
    if "$wineserver" -p60 </dev/null >/dev/null 2>&1 9>&-; then
        "$wine" wineboot --init </dev/null >/dev/null 2>&1 9>&- || true
    fi
) 9>"$WINEPREFIX/.carovel-run.lock"
exec "$wine" "$@"
