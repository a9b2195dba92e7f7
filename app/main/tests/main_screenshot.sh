#!/usr/bin/env bash
# The recorder's whole window shot from outside with ImageMagick once it is painted, then checked
# at marker pixels: the skin, the version text, the clocks, the LED digits, the level labels,
# the record button's face and the two waveform windows.
set -euo pipefail
out=$1
count() {  # pixels of the area WxH+X+Y within 20% of the colour
  convert "$out" -crop "$1" +repage -fuzz 20% -fill white -opaque "$2" -fill black +opaque white \
    -format '%[fx:int(mean*w*h)]' info:
}
pixel() { convert "$out" -format "%[fx:int(255*p{$1,$2}.r)] %[fx:int(255*p{$1,$2}.g)] %[fx:int(255*p{$1,$2}.b)]\n" info:; }

wine "$QM_BIN/Quillmeridian.exe" &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
# Painted: the window sits at its place and two shots in a row are alike.
previous=""
for _ in $(seq 300); do
  if xwininfo -root -tree 2>/dev/null | grep -q '"Recorder": .* 516x470+[-0-9]*+[-0-9]*  +382+277'; then
    import -window root -crop 516x470+382+277 +repage "$out"
    current=$(convert "$out" -format '%#' info:)
    [ "$current" = "$previous" ] && break
    previous=$current
  fi
  sleep 0.2
done
[ -n "$previous" ] || { echo "FAIL the window never showed at (382, 277) in 516x470"; exit 1; }

fail=0
check() {  # name condition
  if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fail=1; fi
}
read -r r g b < <(pixel 20 20)
check "title band is blue-grey ($r $g $b)" '[ $b -gt $r ] && [ $b -gt 50 ]'
read -r r g b < <(pixel 301 430)
check "record dot is red ($r $g $b)" '[ $r -gt 150 ] && [ $g -lt 110 ] && [ $b -lt 110 ]'
n=$(count 60x22+18+8 '#808080'); check "grey version text at (20, 10): $n pixels" '[ $n -gt 20 ]'
n=$(count 40x14+461+343 '#ffffff'); check "white IN and OUT labels: $n pixels" '[ $n -gt 15 ]'
n=$(count 100x25+10+195 '#ffffff'); check "white position clock: $n pixels" '[ $n -gt 40 ]'
n=$(count 60x20+190+53 '#000000'); check "black chunk-length clock: $n pixels" '[ $n -gt 30 ]'
n=$(count 62x37+224+192 '#40ff80'); check "green LED digits: $n pixels" '[ $n -gt 40 ]'
exit $fail
