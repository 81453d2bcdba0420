#!/usr/bin/env bash
# Draws the simulator's side-panel pictures with ImageMagick (our own
# artwork: a plain platform scale, a word mark and a weight). The JPEG files
# and the GIF are committed, the GIF also inside the form's layout as Image4's
# stored picture; run this only to change them.
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

# A weight marked "kg" on a shelf, transparent around it, few colours: 152 x 75.
"$IM" -size 152x75 xc:none +antialias \
  -fill '#3d4a5c' -draw 'roundrectangle 50,24 102,70 8,8' \
  -fill none -stroke '#3d4a5c' -strokewidth 7 -draw 'ellipse 76,24 15,15 180,360' \
  -stroke none -fill '#f2c14e' -font DejaVu-Sans-Bold -pointsize 20 -gravity north -annotate +0+36 'kg' \
  -fill '#5b6b7f' -draw 'rectangle 20,71 132,74' \
  weight.gif

# Image4's stored picture in the layout: the class name, the 32-bit length, the GIF.
python3 - <<'PY'
import re, struct
gif = open("weight.gif", "rb").read()
data = bytes([9]) + b"TGIFImage" + struct.pack("<i", len(gif)) + gif
hexdigits = data.hex().upper()
lines = [hexdigits[i:i + 64] for i in range(0, len(hexdigits), 64)]
indent = " " * 10
block = "Picture.Data = {\n" + "\n".join(indent + "  " + l for l in lines) + "}"
lay = open("Simulador_Zivo.lay", encoding="utf-8").read()
head, sep, rest = lay.partition("object Image4: TImage")
body, end, tail = rest.partition("\n        end")
body = re.sub(r"\n\s*Picture\.Data = \{[0-9A-F\s]*\}", "", body)
body += "\n" + indent + block
open("Simulador_Zivo.lay", "w", encoding="utf-8").write(head + sep + body + end + tail)
PY
