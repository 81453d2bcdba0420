#!/usr/bin/env bash
# Draws the reader's two side-panel pictures with ImageMagick (our own
# artwork: a monitor showing a weight fed by a serial cable, and a word mark).
# The JPEG files are committed; run this only to change them.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
IM=/usr/bin/convert

# A monitor with a weight on its screen and a cable leaving it: 152 x 75.
"$IM" -size 152x75 xc:'#f4f6f2' \
  -fill '#44505e' -draw 'roundrectangle 30,6 108,56 4,4' \
  -fill '#d9ecff' -draw 'rectangle 36,12 102,50' \
  -fill '#1d3d63' -font DejaVu-Sans-Mono-Bold -pointsize 14 -gravity northwest -annotate +42+21 '123,45' \
  -fill '#6d7a88' -draw 'rectangle 62,56 76,64' -draw 'roundrectangle 48,64 90,69 2,2' \
  -stroke '#c46a1b' -strokewidth 3 -fill none -draw 'path "M 108,40 C 130,40 124,66 146,66"' \
  -stroke none -fill '#c46a1b' -draw 'rectangle 140,62 150,70' \
  -quality 85 -strip monitor.jpg

# A word mark: 152 x 40.
"$IM" -size 152x40 gradient:'#7a3c0c-#c46a1b' \
  -fill white -font DejaVu-Sans-Bold -pointsize 20 -gravity center -annotate +0-3 'ZIVO' \
  -font DejaVu-Sans -pointsize 9 -annotate +0+13 'leitor' \
  -quality 85 -strip wordmark.jpg
