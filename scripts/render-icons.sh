#!/usr/bin/env bash
# Renders the icon's PNG sizes from its SVG (needs rsvg-convert, Debian package librsvg2-bin).
# The PNGs are kept in the repository; run this after changing the SVG.
set -euo pipefail
cd "$(dirname "$0")/../packaging/icons"
id=com.lumivaner.UnitSimulator
for size in 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" "$id.svg" -o "$id-$size.png"
done
