#!/bin/sh
# Draws the program icon (src/resources/icon.png, 32 x 32, 16 colours): a funnel
# over a globe. Drawn large and scaled down so the edges come out smooth.
# Needs ImageMagick (convert).
set -eu
out="${1:-$(dirname "$0")/../src/resources/icon.png}"
convert -size 256x256 xc:none \
    -fill '#2f7fc1' -stroke '#1f4e79' -strokewidth 10 -draw 'circle 108,146 108,44' \
    -fill none -stroke '#cfe6ff' -strokewidth 8 \
    -draw 'ellipse 108,146 42,98 0,360' \
    -draw 'line 12,146 204,146' \
    -draw 'line 26,96 190,96' -draw 'line 26,196 190,196' \
    -fill '#f5a623' -stroke '#7a4100' -strokewidth 10 \
    -draw 'polygon 104,14 250,14 196,104 196,196 152,222 152,104' \
    -fill '#ffd37a' -stroke none -draw 'polygon 128,28 226,28 214,46 140,46' \
    -filter Lanczos -resize 32x32 -colors 16 \
    -depth 8 -define png:color-type=6 -strip "$out"
echo "$out"
