#!/bin/sh
# Regenerates app/res/normal.ico (green) and app/res/alternate.ico (red) from app/res/icon.svg.
# Each .ico holds a 48x48, a 32x32 and a 16x16 image in 256 colours (8-bit palette, 1-bit transparency mask).
# Needs rsvg-convert (Debian package librsvg2-bin) and ImageMagick's convert (package imagemagick).
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
res="$here/app/res"
svg="$res/icon.svg"

command -v rsvg-convert >/dev/null 2>&1 || { echo "make-icons: rsvg-convert is missing (apt-get install librsvg2-bin)" >&2; exit 1; }
# The real ImageMagick, not a stand-in that happens to be called convert.
convert=""
for c in convert-im6.q16 /usr/bin/convert convert; do
    if command -v "$c" >/dev/null 2>&1 && "$c" -version 2>/dev/null | grep -q '^Version: ImageMagick'; then
        convert=$c
        break
    fi
done
[ -n "$convert" ] || { echo "make-icons: ImageMagick's convert is missing (apt-get install imagemagick)" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The alternate icon: the same drawing on red.
printf '.plate { fill: #c62828 !important; }\n.rim { stroke: #7f1414 !important; }\n' > "$tmp/alternate.css"
printf '\n' > "$tmp/normal.css"
# At 16x16 only the dot and the outer waves, thicker, and no rim.
printf '.inner { display: none !important; }\n.wave { stroke-width: 5 !important; }\n.dot { r: 5px !important; }\n.rim { stroke-width: 0 !important; }\n' > "$tmp/small.css"

for name in normal alternate; do
    for size in 48 32; do
        rsvg-convert -s "$tmp/$name.css" -w $size -h $size "$svg" -o "$tmp/$name-$size.png"
    done
    cat "$tmp/$name.css" "$tmp/small.css" > "$tmp/$name-small.css"
    rsvg-convert -s "$tmp/$name-small.css" -w 16 -h 16 "$svg" -o "$tmp/$name-16.png"
    # Half-transparent edge pixels become opaque or transparent; transparent pixels are black, as the icon
    # mask expects; then the colours are reduced to one palette of at most 256 entries per image.
    "$convert" "$tmp/$name-48.png" "$tmp/$name-32.png" "$tmp/$name-16.png" \
        -channel A -threshold 50% +channel -background black -alpha background \
        -colors 256 -type PaletteAlpha "$res/$name.ico"
    echo "make-icons: wrote $res/$name.ico"
done
