# Test harness, sourced by test.sh, bench.sh and run.sh: a Wine prefix of the project's own, a
# persistent wineserver, Xvfb for windows and a PulseAudio server with null devices:
#   speakers  - the output; its monitor ("Monitor of speakers") is what the program played
#   micsink   - a second output whose monitor is remapped to the source "mic"; play a tone into
#               micsink (pacat -d micsink) and the program hears it on the microphone.
# Everything is keyed by the build folder, so two build folders can run tests side by side.

harness_start() {
  local build; build=$(cd "$1" && pwd)
  local id; id=$(printf '%s' "$build" | sha1sum | cut -c1-10)
  export QM_HARNESS_DIR=/tmp/qm-harness-$id
  harness_kill_stale
  rm -rf "$QM_HARNESS_DIR"; mkdir -p -m 700 "$QM_HARNESS_DIR"

  export WINEARCH=win32 WINEDEBUG=-all WINEPREFIX="$build/wineprefix"
  export WINEDLLOVERRIDES="mscoree,mshtml="     # no Mono/Gecko install prompts

  # Display first: a wineserver started without one makes later windows fail.
  local fifo=$QM_HARNESS_DIR/displayfd
  : >"$fifo"
  Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp -ac 5>"$fifo" >"$QM_HARNESS_DIR/xvfb.log" 2>&1 &
  echo $! >"$QM_HARNESS_DIR/xvfb.pid"
  local n=0
  until [ -s "$fifo" ]; do
    sleep 0.05; n=$((n + 1))
    [ $n -lt 200 ] || { echo "harness: Xvfb did not start" >&2; cat "$QM_HARNESS_DIR/xvfb.log" >&2; return 1; }
  done
  export DISPLAY=":$(head -n1 "$fifo")"

  export XDG_RUNTIME_DIR=$QM_HARNESS_DIR/run
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
  HOME=$QM_HARNESS_DIR pulseaudio --daemonize=yes --exit-idle-time=-1 --system=false -n \
    --use-pid-file=yes --log-target=file:"$QM_HARNESS_DIR/pulse.log" \
    --load="module-native-protocol-unix auth-anonymous=1" \
    --load="module-null-sink sink_name=speakers sink_properties=device.description=speakers" \
    --load="module-null-sink sink_name=micsink sink_properties=device.description=micsink" \
    --load="module-remap-source master=micsink.monitor source_name=mic source_properties=device.description=mic" \
    </dev/null >/dev/null 2>&1 || { echo "harness: pulseaudio did not start" >&2; return 1; }
  export PULSE_SERVER=unix:$XDG_RUNTIME_DIR/pulse/native
  n=0
  until pactl info >/dev/null 2>&1; do
    sleep 0.05; n=$((n + 1))
    [ $n -lt 200 ] || { echo "harness: pulseaudio does not answer" >&2; return 1; }
  done
  pactl set-default-sink speakers
  pactl set-default-source mic
  # A low-latency stream into the mic keeps the null sink's 2 s latency from delaying capture.
  pacat -d micsink --latency-msec=20 --raw /dev/zero </dev/null >/dev/null 2>&1 &
  echo $! >"$QM_HARNESS_DIR/pacat.pid"

  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w
  fi
  wineserver -p
  # Pre-warm: services started now do not inherit ctest's pipes later.
  wine cmd /c exit </dev/null >/dev/null 2>&1
  # One user of the desktop for the whole run (tests/harness/DesktopKeeper.cpp says why); it ends
  # with the Wine server. Started here, it has taken the desktop by the time the settings below
  # are written and the first test starts.
  if [ -f "$build/bin/desktop_keeper.exe" ]; then
    wine "$build/bin/desktop_keeper.exe" </dev/null >/dev/null 2>&1 &
  fi
  # Unmanaged windows: without a window manager each managed window waits about 2 s on the
  # handshake. The program's own windows are borderless anyway, so a screenshot is what a user sees.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
  # A program that crashes prints its backtrace into the test's output and ends, instead of
  # waiting behind the debugger's crash dialog until the test times out.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
  export QM_HARNESS_READY=1
}

# Every step may find its process already gone: none of them may end the caller under set -e.
harness_kill_stale() {
  local f
  for f in pacat xvfb; do
    if [ -f "$QM_HARNESS_DIR/$f.pid" ]; then kill "$(cat "$QM_HARNESS_DIR/$f.pid")" 2>/dev/null || true; fi
  done
  if [ -d "$QM_HARNESS_DIR/run" ]; then
    XDG_RUNTIME_DIR=$QM_HARNESS_DIR/run HOME=$QM_HARNESS_DIR pulseaudio --kill 2>/dev/null || true
  fi
  return 0
}

harness_stop() {
  [ -n "${QM_HARNESS_DIR:-}" ] || return 0
  if [ -n "${WINEPREFIX:-}" ]; then wineserver -k 2>/dev/null || true; fi
  harness_kill_stale
  rm -rf "$QM_HARNESS_DIR"
  unset QM_HARNESS_READY
  return 0
}
