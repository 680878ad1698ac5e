#!/usr/bin/env bash
# Renders the PNG icons from zel-vavod.svg (needs rsvg-convert, package librsvg2-bin).
# The PNGs are kept in the repository, so a build does not need the renderer.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
for size in 16 32 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" zel-vavod.svg -o "zel-vavod-$size.png"
done
