#!/usr/bin/env bash
# Draws the simulator's two side-panel pictures with ImageMagick (our own
# artwork: a plain platform scale and a word mark). The JPEG files are
# committed; run this only to change them.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
IM=/usr/bin/convert

# A platform scale with its display: 152 x 75.
"$IM" -size 152x75 xc:'#f2f4f7' \
  -fill '#5b6b7f' -draw 'roundrectangle 20,52 132,62 3,3' \
  -fill '#8796a8' -draw 'rectangle 68,36 84,52' \
  -fill '#3d4a5c' -draw 'roundrectangle 40,8 112,36 4,4' \
  -fill '#9fe3a1' -draw 'rectangle 46,14 106,30' \
  -fill '#2f5d31' -font DejaVu-Sans-Mono-Bold -pointsize 13 -gravity north -annotate +0+14 '0,000' \
  -quality 85 -strip scale.jpg

# A word mark: 152 x 40.
"$IM" -size 152x40 gradient:'#1f4e79-#3a7cc0' \
  -fill white -font DejaVu-Sans-Bold -pointsize 22 -gravity center -annotate +0+0 'ZIVO' \
  -quality 85 -strip wordmark.jpg
