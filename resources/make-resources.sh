#!/usr/bin/env bash
# Draws Velunor's icons and start-up picture with ImageMagick, and renders the
# application icon's PNG sizes from its SVG with rsvg-convert. The results are
# committed; run this only to change them.
set -euo pipefail
cd "$(dirname "$0")"
mkdir -p icons
FONT=DejaVu-Sans
BOLD=DejaVu-Sans-Bold

# Each icon is drawn on a 64x64 canvas and reduced, so strokes stay clear at
# 16 and 32 pixels.
draw() { # name, draw commands...
  local name=$1; shift
  convert -size 64x64 xc:none "$@" "icons/$name-64.png"
  for s in 32 24 16; do
    convert "icons/$name-64.png" -filter Lanczos -resize ${s}x${s} "icons/$name-$s.png"
  done
}

PIC=(-fill '#dff0ff' -stroke '#2f5d8a' -strokewidth 4 -draw 'roundrectangle 4,10 48,50 5,5'
     -stroke none -fill '#4f9a4a' -draw 'polygon 8,46 22,28 32,38 38,32 46,46'
     -fill '#f2b233' -draw 'circle 38,19 38,24')
PLUS=(-stroke none -fill '#2e8b3a' -draw 'circle 48,48 48,63'
      -fill white -draw 'rectangle 46,38 50,58' -draw 'rectangle 38,46 58,50')

draw add "${PIC[@]}" "${PLUS[@]}"
draw addfolder -fill '#f4c95d' -stroke '#9a6b12' -strokewidth 4 \
  -draw 'path "M 4,14 L 22,14 L 27,20 L 56,20 L 56,52 L 4,52 Z"' \
  -stroke none -fill '#f9dc8c' -draw 'rectangle 7,25 53,49' "${PLUS[@]}"
draw remove "${PIC[@]}" -stroke none -fill '#c0392b' -draw 'circle 48,48 48,63' \
  -fill white -draw 'rectangle 38,46 58,50'
draw clean -fill '#e9eef3' -stroke '#4a5866' -strokewidth 4 \
  -draw 'path "M 14,18 L 50,18 L 46,58 L 18,58 Z"' \
  -draw 'line 8,14 56,14' -draw 'line 26,8 38,8' -draw 'line 26,8 26,14' -draw 'line 38,8 38,14' \
  -strokewidth 3 -draw 'line 26,26 27,50' -draw 'line 38,26 37,50'
draw moveup -fill '#2f7bd0' -stroke '#1c4f8a' -strokewidth 3 \
  -draw 'polygon 32,4 60,34 42,34 42,60 22,60 22,34 4,34'
draw movedown -fill '#2f7bd0' -stroke '#1c4f8a' -strokewidth 3 \
  -draw 'polygon 32,60 60,30 42,30 42,4 22,4 22,30 4,30'
draw exit -fill '#c9a27a' -stroke '#6b4a2b' -strokewidth 4 -draw 'rectangle 8,4 36,60' \
  -stroke none -fill '#6b4a2b' -draw 'circle 30,34 30,37' \
  -fill '#c0392b' -stroke '#8e2a20' -strokewidth 2 \
  -draw 'polygon 40,26 50,26 50,18 62,32 50,46 50,38 40,38'
draw convert -fill white -stroke '#4a5866' -strokewidth 3 \
  -draw 'path "M 14,4 L 42,4 L 54,16 L 54,60 L 14,60 Z"' -draw 'path "M 42,4 L 42,16 L 54,16"' \
  -stroke none -fill '#c0392b' -draw 'rectangle 6,30 46,48' \
  -fill white -font "$BOLD" -pointsize 15 -gravity northwest -annotate +8+30 'PDF'

# Application icon: a stack of pictures turning into one document. Drawn as
# icons/velunor.svg (the scalable icon of the hicolor theme); every PNG size
# the window and the theme use is rendered from it.
rsvg-convert -w 256 -h 256 icons/velunor.svg -o icons/velunor.png
for s in 16 22 24 32 48 64 128; do
  rsvg-convert -w $s -h $s icons/velunor.svg -o icons/velunor-$s.png
done

# Start-up picture, 749 x 411: what the program does, in three steps.
convert -size 749x411 gradient:'#f7fbff'-'#dbe8f4' \
  -font "$BOLD" -fill '#1f3f5f' -pointsize 30 -annotate +36+58 'Velunor' \
  -font "$FONT" -fill '#2f4f6f' -pointsize 17 -annotate +36+88 'turns your pictures into one PDF document, one page per picture.' \
  -stroke '#9db8d2' -strokewidth 2 -draw 'line 36,108 712,108' -stroke none \
  -fill '#2f7bd0' -draw 'circle 56,152 56,170' -draw 'circle 56,232 56,250' -draw 'circle 56,312 56,330' \
  -font "$BOLD" -fill white -pointsize 20 -annotate +49+159 '1' -annotate +49+239 '2' -annotate +49+319 '3' \
  -fill '#1f3f5f' -pointsize 18 -annotate +90+148 'Add pictures' \
  -annotate +90+228 'Put them in order' -annotate +90+308 'Convert To PDF Now' \
  -font "$FONT" -fill '#33475b' -pointsize 14 \
  -annotate +90+170 'Add, Add Folder, or drag files from your file manager onto this window.' \
  -annotate +90+250 'Move Up, Move Down, or Sort from the Control menu. The first entry is page 1.' \
  -annotate +90+330 'Fill in title, author, subject and keywords, choose quality and output folder.' \
  -fill '#5a6d80' -pointsize 13 \
  -annotate +36+388 'The document is saved as "title".pdf in the output folder, which then opens.   Click a toolbar button to start.' \
  -quality 90 -sampling-factor 4:2:0 startup.jpg
