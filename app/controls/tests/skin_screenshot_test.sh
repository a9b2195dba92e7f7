#!/usr/bin/env bash
# Screenshot of the skinned controls under Xvfb, taken with ImageMagick from outside the program,
# then checked at marker pixels: the skin's title band, a keyed round face with no key colour,
# the record button's red dot, the LED's lit segments.
set -euo pipefail
out=$1
pixel() { convert "$out" -format "%[fx:int(255*p{$1,$2}.r)] %[fx:int(255*p{$1,$2}.g)] %[fx:int(255*p{$1,$2}.b)]\n" info:; }
# The showcase runs until its standard input ends: the script closes it once the shot is taken.
fifo=$(mktemp -u)
mkfifo "$fifo"
wine "$QM_BIN/app_skin_showcase.exe" 60000 <"$fifo" &
pid=$!
exec 3>"$fifo"
rm -f "$fifo"
# A busy machine may take a while to start the program: shoot until its last control (the LED)
# is painted, then until two shots agree, so that nothing is caught half drawn.
for _ in $(seq 200); do
  import -window root -crop 516x470+0+0 +repage "$out"
  read -r _ g _ < <(pixel 273 196)
  [ "$g" -gt 150 ] && break
  sleep 0.1
done
for _ in $(seq 20); do
  cp "$out" "$out.before"
  import -window root -crop 516x470+0+0 +repage "$out"
  [ "$(compare -metric AE "$out" "$out.before" null: 2>&1 || true)" = 0 ] && break
done
rm -f "$out.before"
exec 3>&-
wait $pid
fail=0
check() {  # name x y condition-on-r-g-b
  read -r r g b < <(pixel "$2" "$3")
  if ! eval "$4"; then echo "FAIL $1 at $2,$3: $r $g $b"; fail=1; else echo "ok   $1: $r $g $b"; fi
}
check "title band is blue-grey" 20 20 '[ $b -gt $r ] && [ $b -gt 50 ]'
check "LED first digit 0 unlit in its middle" 241 211 '[ $g -lt 120 ]'
check "record dot is red" 301 430 '[ $r -gt 150 ] && [ $g -lt 110 ] && [ $b -lt 110 ]'
check "plus face has no magenta corner" 482 195 '! { [ $r -gt 200 ] && [ $g -lt 60 ] && [ $b -gt 200 ]; }'
check "LED second digit 7 lit at its top" 273 196 '[ $g -gt 150 ] && [ $g -gt $r ]'
magenta=$(convert "$out" -fill black +opaque '#ff00ff' -fill white -opaque '#ff00ff' -format '%[fx:int(mean*w*h)]' info:)
[ "$magenta" -eq 0 ] || { echo "FAIL $magenta magenta pixels on screen"; fail=1; }
exit $fail
