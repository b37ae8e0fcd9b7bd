#!/usr/bin/env bash
# Renders the Kelvane icon from kelvane.svg into the images that are committed
# next to it: hicolor/NxN/apps/kelvane.png for the desktop theme and the
# program's own window icon, and kelvane.ico (16, 32 and 48 pixels) for Windows.
# The build only copies and embeds these files, so it needs no display and no
# drawing program; run this after changing the SVG and commit what it writes.
#
# Usage: ui/icons/make-icons.sh
# Needs rsvg-convert (Debian: librsvg2-bin) and icotool (Debian: icoutils).

set -euo pipefail

readonly SIZES=(16 32 48 64 128 256)
readonly ICO_SIZES=(16 32 48)
# Below this size the drive slots are thinner than a pixel and only smudge the
# host rows, so the small images are drawn without them.
readonly SLOT_MIN_SIZE=32

cd -- "$(dirname -- "${BASH_SOURCE[0]}")"

for tool in rsvg-convert icotool; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "make-icons.sh: $tool not found (Debian: apt-get install librsvg2-bin icoutils)" >&2
        exit 1
    fi
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-icons.XXXXXX")
trap 'rm -rf -- "$WORK"' EXIT
NO_SLOTS=$WORK/no-slots.css
echo '.slot { display: none; }' >"$NO_SLOTS"

for size in "${SIZES[@]}"; do
    out=hicolor/${size}x${size}/apps/kelvane.png
    mkdir -p -- "$(dirname -- "$out")"
    style=()
    if ((size < SLOT_MIN_SIZE)); then
        style=(--stylesheet "$NO_SLOTS")
    fi
    rsvg-convert "${style[@]}" --width "$size" --height "$size" --output "$WORK/icon.png" kelvane.svg
    mv -f -- "$WORK/icon.png" "$out"
    echo "wrote ui/icons/$out"
done

ico_inputs=()
for size in "${ICO_SIZES[@]}"; do
    ico_inputs+=("hicolor/${size}x${size}/apps/kelvane.png")
done
# Without --raw icotool stores each image as a 32-bit bitmap with alpha, which
# Windows has read since XP (PNG entries only since Vista).
icotool --create --output "$WORK/kelvane.ico" "${ico_inputs[@]}"
mv -f -- "$WORK/kelvane.ico" kelvane.ico
echo "wrote ui/icons/kelvane.ico"
