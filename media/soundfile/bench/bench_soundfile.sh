#!/usr/bin/env bash
# Saving 10 minutes of mono audio as MP3 against Debian's lame command on the same WAV at the same
# rate and bit rate, and loading a one-hour MP3 (decoded to the track's WAV) against
# ffmpeg -i x.mp3 -f wav, all in the same run. Our times are the track's own save and load, as
# soundfile_tool measures them; the references are timed around their commands.
# Prints: soundfile: save_ms=.. lame_ms=.. save_ratio=.. load_ms=.. ffmpeg_ms=.. load_ratio=..
set -euo pipefail
tool="$QM_BIN/soundfile_tool.exe"
work=$(mktemp -d /tmp/qmsfbench.XXXXXX)
trap 'rm -rf "$work"' EXIT
winpath() { echo "Z:$(realpath "$1" | sed 's|/|\\|g')"; }
now_ms() { date +%s%3N; }
# Best of three runs of a command; prints milliseconds.
best_of_3() {
  local best=""
  for _ in 1 2 3; do
    local t0 t1
    t0=$(now_ms); "$@" >/dev/null 2>&1; t1=$(now_ms)
    local d=$((t1 - t0))
    if [ -z "$best" ] || [ "$d" -lt "$best" ]; then best=$d; fi
  done
  echo "$best"
}
# Best of three of the tool's own "time <command>" figure.
tool_best_of_3() {
  local what=$1; shift
  local best=""
  for _ in 1 2 3; do
    local ms
    ms=$(wine "$tool" "$@" 2>&1 >/dev/null | awk -v w="$what" '$1 == "time" && $2 == w { print int($3) }' | tail -n1)
    [ -n "$ms" ] || { echo "soundfile_tool failed: $*" >&2; exit 1; }
    if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
  done
  echo "$best"
}

# Ten minutes of speech-like sound: a tone swept and tremoloed over pink noise.
sox -n -r 44100 -c 1 -b 16 "$work/ten.wav" synth 600 pinknoise synth 600 sine mix 200-800 tremolo 3 60 vol 0.5
save_ms=$(tool_best_of_3 save load "$(winpath "$work/ten.wav")" save "$(winpath "$work")\\ten.mp3")
lame_ms=$(best_of_3 lame --quiet -b 64 -m m "$work/ten.wav" "$work/lame.mp3")

# One hour: six copies of the ten minutes, as plain frames without a tag in front.
lame --quiet -t -b 64 -m m "$work/ten.wav" "$work/ten_lame.mp3"
for _ in 1 2 3 4 5 6; do cat "$work/ten_lame.mp3"; done > "$work/hour.mp3"
load_ms=$(tool_best_of_3 load load "$(winpath "$work/hour.mp3")")
ffmpeg_ms=$(best_of_3 ffmpeg -v error -y -i "$work/hour.mp3" -f wav "$work/ffmpeg.wav")

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
echo "soundfile: save_ms=$save_ms lame_ms=$lame_ms save_ratio=$(ratio "$save_ms" "$lame_ms")" \
  "load_ms=$load_ms ffmpeg_ms=$ffmpeg_ms load_ratio=$(ratio "$load_ms" "$ffmpeg_ms")"
