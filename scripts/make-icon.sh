#!/bin/sh
# Renders the program icon, src/resources/icons/tarnwick.svg (a funnel over a globe),
# into the PNG sizes a desktop's icon theme looks for: src/resources/icons/
# tarnwick-SIZE.png. The program carries them all (windows, tray, home page) and
# installs them with the SVG into share/icons/hicolor. Run it again after editing the
# SVG. Needs rsvg-convert (Debian package librsvg2-bin).
set -eu
dir="${1:-$(dirname "$0")/../src/resources/icons}"
for size in 16 24 32 48 64 128 256; do
    rsvg-convert --width "$size" --height "$size" --format png \
        --output "$dir/tarnwick-$size.png" "$dir/tarnwick.svg"
    echo "$dir/tarnwick-$size.png"
done
