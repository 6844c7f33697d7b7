#!/usr/bin/env bash
# Draws the updater's icon and writes payload/updater.ico: one 48x48 image of
# 24 bits per pixel (colour plus a transparency mask for the rounded corners).
# The .ico is committed, so the build does not need these tools; run this
# only to change the picture. Needs imagemagick and icoutils.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A blue tile with a white arrow down onto a line: "install the new version".
# The tile's outline is drawn without antialiasing so that every pixel is
# either opaque or fully transparent, as a 24-bit icon's mask requires.
convert -size 48x48 xc:none \
  +antialias -fill '#1f5f8b' -draw 'roundrectangle 1,1 46,46 8,8' \
  -antialias -fill '#3d8fc4' -draw 'roundrectangle 4,4 43,43 6,6' \
  -fill white -draw 'polygon 19,9 29,9 29,23 36,23 24,36 12,23 19,23' \
  -fill white -draw 'rectangle 11,38 37,40' \
  -depth 8 "PNG32:$work/updater.png"
icotool --create --bit-depth=24 --output="$work/updater.ico" "$work/updater.png"
icotool --list "$work/updater.ico"
mv "$work/updater.ico" updater.ico
