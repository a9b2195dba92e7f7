#!/usr/bin/env bash
# A recording station under load: station_probe starts the real recorder, records a 440 Hz tone
# played into the microphone for QM_STATION_MINUTES (default 10) minutes, plays the take back,
# opens a one-hour MP3 and saves the take as a package, sending WM_NULL to the window every 10 ms
# throughout. Per phase it reports the largest and the 99th-percentile answer time and how many
# answers took over 50 ms (idle: the same window doing nothing, the reference of the run; rec1:
# the first minute of recording, rec: the rest; opendlg and savedlg: while the file dialog is up,
# open and save: from its close until the window is usable again); and
# the private bytes, handles and threads before recording, after one minute and at its end:
# private bytes from GetProcessMemoryInfo (PagefileUsage where Wine leaves PrivateUsage 0),
# handles as the handle values that DuplicateHandle can copy out of the process (Wine answers 0
# to GetProcessHandleCount, shown as api_handles), threads from the system's process list.
# The package is checked with unzip -t and its MP3's length with ffprobe.
# Prints: station: idle_max_ms=.. ... rec_min=.. private_mb=a/b/c growth_mb=.. pcm_mb=.. handles=a/b/c ...
set -euo pipefail
probe="$QM_BIN/station_probe.exe"
minutes=${QM_STATION_MINUTES:-10}
play_s=${QM_STATION_PLAY_SECONDS:-60}
work=$(mktemp -d /tmp/qmstationbench.XXXXXX)
tone_pids=()
stop_tone() {
  local pid
  for pid in "${tone_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  tone_pids=()
}
cleanup() {
  stop_tone
  rm -rf "$work"
}
trap cleanup EXIT
winpath() { echo "Z:$(realpath "$1" | sed 's|/|\\|g')"; }

# One hour of speech-like sound: ten minutes of a swept, tremoloed tone over pink noise, six times.
sox -n -r 44100 -c 1 -b 16 "$work/ten.wav" synth 600 pinknoise synth 600 sine mix 200-800 tremolo 3 60 vol 0.5
lame --quiet -t -b 64 -m m "$work/ten.wav" "$work/ten.mp3"
for _ in 1 2 3 4 5 6; do cat "$work/ten.mp3"; done > "$work/hour.mp3"
rm -f "$work/ten.wav" "$work/ten.mp3"

# The tone lasts the whole run: recording, and the rest with some to spare.
seconds=$(awk -v m="$minutes" -v p="$play_s" 'BEGIN { printf "%d", m * 60 + p + 900 }')
mkfifo "$work/tone"
sox -n -t raw -r 44100 -c 2 -e signed -b 16 - synth "$seconds" sine 440 vol 0.3 >"$work/tone" 2>/dev/null &
tone_pids+=($!)
pacat -d micsink --raw --rate 44100 --channels 2 --latency-msec=20 <"$work/tone" >/dev/null 2>&1 &
tone_pids+=($!)

line=$(cd "$QM_BIN" && wine "$probe" "$(winpath "$work")\\hour.mp3" "$(winpath "$work")\\take.qpk" \
  "$minutes" "$play_s" 2>"$work/probe.err") || { cat "$work/probe.err" >&2; echo "$line" >&2; exit 1; }
stop_tone

unzip -tq "$work/take.qpk" >/dev/null 2>&1 && zip_ok=1 || zip_ok=0
unzip -p "$work/take.qpk" '*.mpa' > "$work/take.mpa" 2>/dev/null || true
mp3_s=$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$work/take.mpa" 2>/dev/null || echo 0)
echo "$line zip_ok=$zip_ok package_mp3_s=$(awk -v d="$mp3_s" 'BEGIN { printf "%.1f", d }')"
