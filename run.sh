#!/usr/bin/env bash
# Builds and starts the recorder under Wine: ./run.sh [--screenshot FILE] [recorder arguments]
# With a display and a sound server it uses them; without, it starts a virtual display and null
# sound devices, saves a screenshot once the window is painted and prints where. With
# --screenshot FILE it exits after the shot; otherwise it runs until the recorder ends (Ctrl-C).
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
export HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
export LC_ALL=C.UTF-8
export PATH=${PATH:-/usr/local/bin:/usr/bin:/bin}
export QM_BUILD_DIR=${QM_BUILD_DIR:-$root/build}

shot=
exit_after_shot=0
if [ "${1:-}" = "--screenshot" ]; then
  exit_after_shot=1
  [ $# -ge 2 ] || { echo "usage: ./run.sh [--screenshot FILE] [arguments]" >&2; exit 2; }
  shot=$(realpath -m "$2"); shift 2
fi

QM_BUILD_TARGETS="Quillmeridian pointerhub madlldlib lame_enc xaudio2_redist" "$root/scripts/configure.sh" >/dev/null
exe=$QM_BUILD_DIR/bin/Quillmeridian.exe

if [ $exit_after_shot = 0 ] && [ -n "${DISPLAY:-}" ] && pactl info >/dev/null 2>&1; then
  export WINEARCH=win32 WINEPREFIX=${WINEPREFIX:-$QM_BUILD_DIR/wineprefix} WINEDEBUG=${WINEDEBUG:--all}
  [ -f "$WINEPREFIX/system.reg" ] || wineboot -i </dev/null >/dev/null 2>&1
else
  source "$root/scripts/harness.sh"
  trap harness_stop EXIT
  harness_start "$QM_BUILD_DIR"
  [ -n "$shot" ] || shot=$QM_BUILD_DIR/run-screenshot.png
fi

cd "$QM_BUILD_DIR/bin"
wine "$exe" "$@" &
pid=$!
trap 'kill $pid 2>/dev/null || true' INT TERM

# The window is painted when two shots of it in a row are alike and not blank.
take_shot() {
  local geometry="" n=0 previous="" current
  while kill -0 $pid 2>/dev/null && [ $n -lt 600 ]; do
    geometry=$(xwininfo -root -tree 2>/dev/null |
      sed -n 's/.*"\(Recorder\|_[12]QuillmeridianUser\)": ("[^"]*" "[^"]*")  *\([0-9]*x[0-9]*+-*[0-9]*+-*[0-9]*\).*/\2/p' | head -n1)
    if [ -n "$geometry" ]; then
      local size=${geometry%%+*} offset=${geometry#*+}
      local x=${offset%%+*} y=${offset#*+}
      import -window root -crop "${size}+${x}+${y}" +repage "$shot.tmp.png" 2>/dev/null || true
      current=$(convert "$shot.tmp.png" -format '%#' info: 2>/dev/null || true)
      local spread; spread=$(convert "$shot.tmp.png" -format '%[fx:standard_deviation]' info: 2>/dev/null || echo 0)
      if [ -n "$current" ] && [ "$current" = "$previous" ] && [ "$spread" != "0" ]; then
        mv "$shot.tmp.png" "$shot"
        echo "run.sh: screenshot of the window ($geometry) saved in $shot"
        return 0
      fi
      previous=$current
    fi
    sleep 0.2; n=$((n + 1))
  done
  rm -f "$shot.tmp.png"
  echo "run.sh: the window did not show up; no screenshot" >&2
  return 1
}

status=0
if [ -n "$shot" ]; then
  take_shot || status=1
  if [ $exit_after_shot = 1 ]; then
    kill $pid 2>/dev/null || true
    wait $pid 2>/dev/null || true
    exit $status
  fi
  echo "run.sh: the recorder runs on display $DISPLAY; Ctrl-C ends it"
fi
wait $pid || status=$?
exit $status
