#!/usr/bin/env bash
# Renders src/resources/marblefinch.mvg into the application icon: 48, 32, 24 and 16 pixels
# at 8 bits per pixel, then the same four sizes at 32 bits per pixel, in that order.
# Needs ImageMagick and icoutils; the result is committed so builds do not.
set -euo pipefail
cd "$(dirname "$0")/../src/resources"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

args=()
for depth in 8 32; do
    for size in 48 32 24 16; do
        out="$work/icon-$size-$depth.png"
        convert -size 256x256 -background none mvg:marblefinch.mvg -resize "${size}x${size}" \
            "$work/full-$size.png"
        if [ "$depth" = 8 ]; then
            # Palette image: opaque pixels reduced to 255 colours, transparency by mask.
            convert "$work/full-$size.png" -channel A -threshold 50% +channel -colors 255 "PNG8:$out"
        else
            cp "$work/full-$size.png" "$out"
        fi
        args+=(-b "$depth" "$out")
    done
done
icotool -c -o Marblefinch_associate.ico "${args[@]}"
icotool -l Marblefinch_associate.ico
