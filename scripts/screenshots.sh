#!/bin/sh
# Captures the auxiliary windows on a virtual X server: the home-page browser on
# the page shipped with the program, the usage viewer's three pages and the
# version box, as PNG files.
#   scripts/screenshots.sh [OUTDIR] [BUILDDIR]
# OUTDIR defaults to ./screenshots, BUILDDIR to build/shots (configured without
# the sanitizers if needed; the web engine does not run well under them).
# Needs xvfb-run (package xvfb) and xauth.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-screenshots}" && cd "${1:-screenshots}" && pwd)
build="${2:-$here/build/shots}"

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_TESTS=OFF
fi
cmake --build "$build" --target tarnwick-shots -j2

# The web engine's sandbox cannot run as root; the program switches it off for
# root itself, this only makes it explicit for the record.
if [ "$(id -u)" -eq 0 ]; then
    export QTWEBENGINE_DISABLE_SANDBOX=1
fi
unset QT_QPA_PLATFORM
xvfb-run -a -s "-screen 0 1280x1024x24" "$build/app/tarnwick-shots" "$out"
ls -l "$out"
